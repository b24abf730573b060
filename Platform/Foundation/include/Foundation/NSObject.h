// The root class of the classes with behaviour, and what a class is at run time.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

// A class at run time: its name, and an address inside the program or shared library whose code
// defines it. The address is what finds the bundle a class was loaded from (NSBundle::bundleForClass):
// it is a function-local object of that code, so it can neither be interposed by another library
// nor copied into the program by the dynamic linker.
class NSClass {
public:
    explicit NSClass(const char *name) noexcept : name_(name) {}
    NSClass(const NSClass &) = delete;
    NSClass &operator=(const NSClass &) = delete;

    const char *name() const noexcept { return name_; }
    const void *anchor() const noexcept { return this; }

private:
    const char *name_;
};

// Declares a class's `class_()` (the class object; `class` itself is a C++ keyword) ...
#define NS_DECLARE_CLASS() static const NSClass &class_()
// ... and defines it, in a source file of the library the class belongs to.
#define NS_DEFINE_CLASS(Name)                  \
    const NSClass &Name::class_() {            \
        static const NSClass classObject(#Name); \
        return classObject;                    \
    }

// The base of every class with behaviour. Objects are not copied: they are referred to.
class NSObject {
public:
    NSObject() = default;
    NSObject(const NSObject &) = delete;
    NSObject &operator=(const NSObject &) = delete;
    virtual ~NSObject();
};
