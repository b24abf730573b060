/* Property lists: trees of strings, numbers, booleans, dates, data, arrays and dictionaries with
   string keys, and their XML 1.0 document form.

   The reader takes documents from untrusted peers (a set-user-ID tool parses its requests with it)
   and refuses, with NULL and an error string, anything that is not a plain property list:
     - nesting deeper than kCFPropertyListMaxNestingDepth arrays and dictionaries;
     - any DTD content beyond a bare DOCTYPE line (internal subsets, entity declarations, references
       to entities other than XML's five predefined ones); nothing external is ever loaded;
     - invalid UTF-8, unknown elements, and any attribute except "version" on <plist> (whose value
       is not checked);
     - text where a value is expected, and any text inside <true/>, <false/>, <array> or <dict>
       other than white space;
     - integers outside [INT64_MIN, UINT64_MAX] or with anything but an optional sign and decimal
       digits; reals that do not parse completely or overflow (accepted besides decimal forms:
       "nan", "+infinity", "-infinity", "infinity", "inf", "+inf", "-inf");
     - base64 with characters outside its alphabet (white space aside), misplaced padding or a
       length that is not a whole number of 4-character groups;
     - dates other than YYYY-MM-DDTHH:MM:SS[.fraction]Z with a real calendar day;
     - a dictionary key without a value, a value without a key, and a key given twice;
     - anything but one <plist> root holding exactly one value, and anything but comments,
       processing instructions and white space after it.

   The writer produces UTF-8 with tab indentation, dictionary keys sorted by UTF-16 code units, and
   reals and dates written with exactly the digits that read back to the same double. It answers
   NULL for a value the format cannot carry: a type other than those above, a non-string key, a
   string with a character XML 1.0 forbids (controls other than tab, line feed and carriage return,
   unpaired surrogates, U+FFFE, U+FFFF), a date outside the years 1 to 9999, an integer outside the
   64-bit ranges, or nesting deeper than the reader accepts. */
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum {
    kCFPropertyListImmutable = 0,
    kCFPropertyListMutableContainers = 1,
    kCFPropertyListMutableContainersAndLeaves = 2
};

typedef CFIndex CFPropertyListFormat;
enum {
    kCFPropertyListOpenStepFormat = 1,
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200
};

/* The deepest nesting of arrays and dictionaries the reader accepts and the writer produces. Every
   consumer of a property list (equality, release, copying, writing) walks it recursively, so an
   unbounded depth from a hostile peer would be a stack overflow in a privileged process; 256 is far
   beyond anything this system sends (requests are one level deep). */
enum { kCFPropertyListMaxNestingDepth = 256 };

/* The XML document of `propertyList`, or NULL if the value cannot be written (see above). */
CF_EXPORT CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList);

/* Parses an XML property list. mutabilityOption kCFPropertyListImmutable gives immutable objects
   throughout, kCFPropertyListMutableContainers mutable arrays and dictionaries,
   kCFPropertyListMutableContainersAndLeaves also mutable strings and data (dictionary keys stay
   immutable). On failure answers NULL and, if errorString is not NULL, stores a new string that
   describes the error (the caller releases it); on success stores NULL there.
   On failure errno also tells why: EINVAL when the bytes are not a property list this reader
   accepts, ENOMEM when it ran out of memory before it could tell. Only the first says anything
   about the document: a caller that keeps a file must never treat the second as damage. */
CF_EXPORT CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                            CFOptionFlags mutabilityOption,
                                                            CFStringRef *errorString);

/* A copy of every level of `propertyList` with the given mutability, or NULL if it holds a value
   that is not a property-list type or nests too deeply. */
CF_EXPORT CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator,
                                                         CFPropertyListRef propertyList,
                                                         CFOptionFlags mutabilityOption);

/* Whether `plist` can be written in `format`; only kCFPropertyListXMLFormat_v1_0 is supported, and
   for it the answer is exactly whether CFPropertyListCreateXMLData would succeed. */
CF_EXPORT Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);

CF_EXTERN_C_END
