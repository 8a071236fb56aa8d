// Read-only properties with a native getter.
//
// A `property` calls its getter through the generic call protocol on every
// read.  This subclass of `property` (so isinstance(p, property), fget,
// getter()/setter(), __set_name__ and help() all behave as for any
// property) reads the attribute by running the native function's code
// directly.  Only an object it made itself takes that path: a copy made by
// getter()/setter()/deleter(), or one whose __init__ is called again, is an
// ordinary property of this type.
#include "property.hpp"

#include "function.hpp"

#include <cstddef>

namespace rt {

namespace {

// What the subclass adds after the property's own fields.
struct PropData {
    PyObject* getter;  // borrowed from fget, which holds it; null: call through fget
    PyObject* doc;     // owned: property.__init__ stores a subclass's __doc__ here
};

Py_ssize_t data_offset() { return PyProperty_Type.tp_basicsize; }
PropData* data(PyObject* self) { return reinterpret_cast<PropData*>(reinterpret_cast<char*>(self) + data_offset()); }

PyObject* prop_descr_get(PyObject* self, PyObject* obj, PyObject* type) noexcept {
    PyObject* getter = data(self)->getter;
    if (!getter || !obj || obj == Py_None) return PyProperty_Type.tp_descr_get(self, obj, type);
    return call_getter(getter, obj);
}

int prop_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    data(self)->getter = nullptr;
    return PyProperty_Type.tp_init(self, args, kwargs);
}

int prop_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(data(self)->doc);
    return PyProperty_Type.tp_traverse(self, visit, arg);
}

int prop_clear(PyObject* self) {
    data(self)->getter = nullptr;
    Py_CLEAR(data(self)->doc);
    return PyProperty_Type.tp_clear(self);
}

// property's own dealloc untracks, releases its fields and frees; the
// instance's reference to its (heap) type is released here.
void prop_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    data(self)->getter = nullptr;
    Py_CLEAR(data(self)->doc);
    PyProperty_Type.tp_dealloc(self);
    Py_DECREF(tp);
}

// Offsets depend on the interpreter's property layout: filled when the
// type is made.
PyMemberDef prop_members[] = {
    {"__doc__", Py_T_OBJECT_EX, 0, 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot prop_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(prop_descr_get)},
    {Py_tp_init, reinterpret_cast<void*>(prop_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(prop_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(prop_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(prop_dealloc)},
    {Py_tp_members, prop_members},
    {0, nullptr},
};

PyType_Spec prop_spec = {
    "tovana.runtime.native_property",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    prop_slots,
};

}  // namespace

PyTypeObject* make_property_type(PyObject* module) {
    prop_spec.basicsize = static_cast<int>(data_offset() + static_cast<Py_ssize_t>(sizeof(PropData)));
    prop_members[0].offset = data_offset() + static_cast<Py_ssize_t>(offsetof(PropData, doc));
    Ref base = Ref::borrow(reinterpret_cast<PyObject*>(&PyProperty_Type));
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &prop_spec, base.get())).release());
}

Ref make_property(const Ref& getter) {
    Ref prop = call(reinterpret_cast<PyObject*>(state().property_type), getter);
    if (takes_only_self(getter.get())) data(prop.get())->getter = getter.get();
    return prop;
}

}  // namespace rt
