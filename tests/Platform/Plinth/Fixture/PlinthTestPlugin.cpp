// The library of the plug-in bundles that the Plinth tests build and load. Its lifecycle
// extension, told the host has finished launching, posts "FixtureDidFinishLaunching" on the
// default center with its class object, so that the test can ask which bundle the class is in.
#include <Plinth/Plinth.h>

namespace {

class FixtureLifecycleExtension : public NSObject, public PLLifecycleProtocol {
public:
    NS_DECLARE_CLASS();
    void applicationLaunching() override {}
    void applicationWillFinishLaunching() override {}
    void applicationDidFinishLaunching() override {
        NSNotificationCenter::defaultCenter().postNotificationName(CFSTR("FixtureDidFinishLaunching"), &class_());
    }
    void applicationWillTerminate() override {}
};
NS_DEFINE_CLASS(FixtureLifecycleExtension)

// Adopts no protocol of the host's.
class FixtureNeither : public NSObject {};

}  // namespace

PL_REGISTER_EXTENSION_CLASS(FixtureLifecycleExtension);
PL_REGISTER_EXTENSION_CLASS(FixtureNeither);
