// Read-only properties whose getter is a native function (property.cpp).
#pragma once

#include "api.hpp"

namespace rt {

// The native property type of a module (made when the module executes).
PyTypeObject* make_property_type(PyObject* module);

// A read-only property of the module's native property type around the
// native function `getter` (which takes only the instance).
Ref make_property(const Ref& getter);

}  // namespace rt
