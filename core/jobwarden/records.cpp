// The pool's enumerations and records: WorkerStatus, TaskPriority,
// SubprocessTask and SubprocessResult.  The enumerations come from `enum`,
// the records from `dataclasses`, so they behave exactly like their Python
// counterparts; only the field defaults and to_dict() are native.
#include "jobwarden.hpp"

namespace jobwarden {

namespace {

// An enumeration made with the functional API: Enum(name, members,
// module=..., qualname=..., type=mixin).
Ref make_enum(const char* name, const char* base, const Ref& members, PyObject* mixin) {
    Ref enum_mod = rt::global("enum");
    Ref cls = rt::getattr(enum_mod.get(), base);
    if (mixin) {
        return rt::call_kw(cls.get(), {rt::str(name), members},
                           {{"module", rt::module_name()}, {"qualname", rt::str(name)}, {"type", Ref::borrow(mixin)}});
    }
    return rt::call_kw(cls.get(), {rt::str(name), members},
                       {{"module", rt::module_name()}, {"qualname", rt::str(name)}});
}

Ref pairs(std::initializer_list<std::pair<const char*, Ref>> items) {
    Ref list = rt::check(PyList_New(0));
    for (const auto& [k, v] : items) {
        Ref pair = rt::check(PyTuple_Pack(2, rt::str(k).get(), v.get()));
        rt::check_status(PyList_Append(list.get(), pair.get()));
    }
    return list;
}

// ---- field defaults --------------------------------------------------------

// First 12 hex digits of a random UUID: 48 random bits.
Ref new_task_id(const Args&) {
    Ref uuid = rt::global("uuid");
    Ref u = rt::call_method(uuid.get(), RT_NAME("uuid4"));
    Ref hex = rt::getattr(u.get(), RT_NAME("hex"));
    return rt::check(PySequence_GetSlice(hex.get(), 0, 12));
}
Ref now(const Args&) { return rt::floating(rt::wall_time()); }

const rt::FuncDef new_task_id_def{"_new_task_id", "A fresh random task id of 12 hexadecimal digits.", {}, "str",
                                  new_task_id};
const rt::FuncDef now_def{"_now", "The current wall-clock time in seconds since the epoch.", {}, "float", now};

// field(default_factory=factory)
Ref factory_field(const Ref& factory) {
    Ref dataclasses = rt::global("dataclasses");
    Ref field = rt::getattr(dataclasses.get(), RT_NAME("field"));
    return rt::call_kw(field.get(), {}, {{"default_factory", factory}});
}

// ---- to_dict -----------------------------------------------------------------

// The value of an enumeration member; a plain value is reported as it is.
Ref member_value(PyObject* v) {
    Ref value = rt::getattr_opt(v, RT_NAME("value"));
    return value ? value : Ref::borrow(v);
}

Ref fields_to_dict(PyObject* self, std::initializer_list<const char*> names, const char* enum_field) {
    Ref d = rt::check(PyDict_New());
    for (const char* name : names) {
        PyObject* key = rt::intern(name);
        Ref v = rt::getattr(self, key);
        if (strcmp(name, enum_field) == 0) v = member_value(v.get());
        rt::setitem(d.get(), key, v);
    }
    return d;
}

Ref task_to_dict(const Args& a) {
    return fields_to_dict(a[0], {"id", "worker_type", "command", "priority", "timeout", "working_dir", "env",
                                 "created_at"},
                          "priority");
}
Ref result_to_dict(const Args& a) {
    return fields_to_dict(a[0], {"task_id", "status", "output", "error", "duration", "pid"}, "status");
}

const Param self_only[] = {{"self"}};
const rt::FuncDef task_to_dict_def{"to_dict", nullptr, self_only, "dict[str, Any]", task_to_dict};
const rt::FuncDef result_to_dict_def{"to_dict", nullptr, self_only, "dict[str, Any]", result_to_dict};

// A dataclass made from a namespace: annotations (as text) and defaults.
struct FieldDecl {
    const char* name;
    const char* annotation;
    Ref dflt;  // null: no default
};

Ref make_record(const char* name, const char* doc, std::initializer_list<FieldDecl> fields,
                const rt::FuncDef& to_dict) {
    rt::ClassBuilder cls(name, doc);
    Ref annotations = rt::check(PyDict_New());
    for (const FieldDecl& f : fields) {
        rt::setitem(annotations.get(), rt::str(f.name).get(), f.annotation);
        if (f.dflt) cls.attr(f.name, f.dflt);
    }
    cls.attr("__annotations__", annotations);
    cls.method(to_dict);
    Ref plain = cls.build();
    Ref dataclasses = rt::global("dataclasses");
    return rt::call_method(dataclasses.get(), RT_NAME("dataclass"), plain);
}

}  // namespace

void define_records() {
    Ref status_members = pairs({{"IDLE", rt::str("idle")},
                                {"RUNNING", rt::str("running")},
                                {"COMPLETED", rt::str("completed")},
                                {"FAILED", rt::str("failed")},
                                {"TIMEOUT", rt::str("timeout")},
                                {"CANCELLED", rt::str("cancelled")}});
    Ref worker_status_cls = make_enum("WorkerStatus", "Enum", status_members, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    rt::set_global("WorkerStatus", worker_status_cls);

    Ref priority_members = pairs({{"LOW", rt::integer(0)},
                                  {"NORMAL", rt::integer(1)},
                                  {"HIGH", rt::integer(2)},
                                  {"CRITICAL", rt::integer(3)}});
    Ref priority_cls = make_enum("TaskPriority", "IntEnum", priority_members, nullptr);
    rt::set_global("TaskPriority", priority_cls);

    Ref id_factory = rt::make_function(new_task_id_def, "SubprocessTask", rt::module_name().get());
    Ref time_factory = rt::make_function(now_def, "SubprocessTask", rt::module_name().get());
    Ref dict_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
    Ref task = make_record("SubprocessTask", "A task to be executed by a worker subprocess.",
                           {
                               {"id", "str", factory_field(id_factory)},
                               {"worker_type", "str", rt::str("shell")},
                               {"command", "dict[str, Any]", factory_field(dict_type)},
                               {"priority", "TaskPriority", rt::getattr(priority_cls.get(), "NORMAL")},
                               {"timeout", "float", rt::floating(60.0)},
                               {"working_dir", "str | None", rt::none()},
                               {"env", "dict[str, str]", factory_field(dict_type)},
                               {"created_at", "float", factory_field(time_factory)},
                           },
                           task_to_dict_def);
    rt::set_global("SubprocessTask", task);

    Ref result = make_record("SubprocessResult", "Result from a worker subprocess.",
                             {
                                 {"task_id", "str", Ref()},
                                 {"status", "WorkerStatus", Ref()},
                                 {"output", "Any", rt::none()},
                                 {"error", "str | None", rt::none()},
                                 {"duration", "float", rt::floating(0.0)},
                                 {"pid", "int | None", rt::none()},
                             },
                             result_to_dict_def);
    rt::set_global("SubprocessResult", result);
}

Ref worker_status(const char* member) {
    Ref cls = rt::global("WorkerStatus");
    return rt::getattr(cls.get(), member);
}

bool status_is(PyObject* status, const char* member) {
    Ref m = worker_status(member);
    int eq = PyObject_RichCompareBool(status, m.get(), Py_EQ);
    if (eq < 0) rt::throw_pending();
    return eq != 0;
}

Ref make_result(PyObject* task_id, const Ref& status, const Ref& output, const Ref& error, double duration,
                const Ref& pid) {
    Ref cls = rt::global("SubprocessResult");
    return rt::call_kw(cls.get(), {},
                       {{"task_id", Ref::borrow(task_id)},
                        {"status", status},
                        {"output", output},
                        {"error", error},
                        {"duration", rt::floating(duration)},
                        {"pid", pid}});
}

}  // namespace jobwarden
