#include <Foundation/NSObject.h>

// Defined here, out of line, so that the class's type information lives in this library alone.
NSObject::~NSObject() = default;
