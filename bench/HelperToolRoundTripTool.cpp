// The smallest real helper tool: reads the external form and one request frame from standard
// input, answers with a response frame on standard output and exits 0. Started with standard input
// on /dev/null it ends at once (exit 4), which gives the cost of merely starting the program.

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>

int main()
{
    if (MoreUNIXIgnoreSIGPIPE() != 0) return kHelperToolResultFailed;
    AuthorizationExternalForm extForm;
    if (MoreUNIXRead(0, &extForm, sizeof(extForm), nullptr) != 0) return kHelperToolResultFailed;
    wfs::CFRef<CFDictionaryRef> request;
    if (CopyDictionaryFromDescriptor(0, request.out()) != 0) return kHelperToolResultFailed;

    wfs::CFRef<CFMutableDictionaryRef> response(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    SInt32 noError = 0;
    wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberSInt32Type, &noError));
    CFDictionarySetValue(response.get(), ErrorNumberKey, number.get());
    return WriteDictionaryToDescriptor(response.get(), 1) == 0 ? kHelperToolResultSuccess
                                                               : kHelperToolResultFailed;
}
