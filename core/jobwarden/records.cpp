// The pool's enumerations and records: WorkerStatus, TaskPriority,
// SubprocessTask and SubprocessResult.  The enumerations come from `enum`,
// the records from `dataclasses`, so they behave exactly like their Python
// counterparts; only the field defaults and to_dict() are native.
#include "jobwarden.hpp"

#include <sys/random.h>

namespace jobwarden {

namespace {

// An enumeration made with the functional API: Enum(name, members,
// module=..., qualname=..., type=mixin).
Ref make_enum(const char* name, const char* base, const Ref& members, PyObject* mixin) {
    Ref enum_mod = RT_GLOBAL("enum");
    Ref cls = rt::check(PyObject_GetAttrString(enum_mod.get(), base));
    if (mixin) {
        return rt::call_kw(cls.get(), RT_KW("module,qualname,type"), {rt::str(name), members}, {rt::module_name(), rt::str(name), Ref::borrow(mixin)});
    }
    return rt::call_kw(cls.get(), RT_KW("module,qualname"), {rt::str(name), members}, {rt::module_name(), rt::str(name)});
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

// 12 lowercase hex digits of 6 bytes from the kernel's random source (the
// one os.urandom reads); null when it cannot be read.
Ref random_hex12() {
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return Ref();
    Ref text = rt::check(PyUnicode_New(12, 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    static constexpr char digits[] = "0123456789abcdef";
    for (unsigned char b : bytes) {
        *out++ = static_cast<Py_UCS1>(digits[b >> 4]);
        *out++ = static_cast<Py_UCS1>(digits[b & 15]);
    }
    return text;
}

// First 12 hex digits of a random UUID: 48 random bits.  Those digits of
// uuid4() are the first 6 of the random bytes it draws from os.urandom as
// they are, so while `uuid.uuid4` and the `os.urandom` it calls are the
// standard ones, 6 bytes are drawn directly; a patched one is called.
Ref new_task_id(const Args&) {
    Ref uuid = RT_GLOBAL("uuid");
    if (rt::original_in(uuid.get(), RT_NAME("uuid4"), rt::Original::uuid4, RT_WATCHED)) {
        PyObject* os = rt::dict_find(PyModule_GetDict(uuid.get()), RT_NAME("os"), RT_WATCHED);
        if (os && rt::original_in(os, RT_NAME("urandom"), rt::Original::urandom, RT_WATCHED)) {
            if (Ref id = random_hex12()) return id;
        }
    }
    Ref u = RT_CALL_MODULE_ATTR(uuid.get(), "uuid4");
    Ref hex = rt::getattr(u.get(), RT_NAME("hex"));
    return rt::head(hex.get(), 12);
}
Ref now(const Args&) { return rt::floating(rt::wall_time()); }

const rt::FuncDef new_task_id_def{"_new_task_id", "A fresh random task id of 12 hexadecimal digits.", {}, "str",
                                  new_task_id};
const rt::FuncDef now_def{"_now", "The current wall-clock time in seconds since the epoch.", {}, "float", now};

// field(default_factory=factory)
Ref factory_field(const Ref& factory) {
    Ref dataclasses = RT_GLOBAL("dataclasses");
    Ref field = rt::getattr(dataclasses.get(), RT_NAME("field"));
    return rt::call_kw(field.get(), RT_KW("default_factory"), {}, {factory});
}

// ---- to_dict -----------------------------------------------------------------

// Look-up sites of one record class's to_dict(): the class and its
// enumeration among the module's globals, and the member's `_value_`.
struct RecordSites {
    rt::WatchedSite cls, enum_cls;
    rt::AttrSite value;
};

// The value of an enumeration member; a plain value is reported as it is.
// A member of the module's own enumeration `cls` gives its stored `_value_`
// (what its `value` property returns) without the property call.
Ref member_value(PyObject* v, PyObject* cls_name, RecordSites& sites) {
    PyObject* cls = rt::dict_find(rt::state().dict, cls_name, sites.enum_cls);
    if (cls && reinterpret_cast<PyObject*>(Py_TYPE(v)) == cls) return rt::getattr(v, RT_NAME("_value_"), sites.value);
    Ref value = rt::getattr_opt(v, RT_NAME("value"));
    return value ? value : Ref::borrow(v);
}

// The fields as stored, in field order: a copy of the instance dictionary
// when it holds exactly the fields in that order and `self` is an instance
// of the record class itself (so no class attribute can stand in for a
// field); otherwise one attribute read per field.  `converted` is the index
// of the enumeration field whose member value is stored.
template <size_t N>
Ref fields_to_dict(PyObject* self, PyObject* const (&keys)[N], PyObject* cls_name, size_t converted,
                   PyObject* enum_cls, RecordSites& sites) {
    PyObject* cls = rt::dict_find(rt::state().dict, cls_name, sites.cls);
    if (cls && reinterpret_cast<PyObject*>(Py_TYPE(self)) == cls) {
        Ref stored = rt::check(PyObject_GenericGetDict(self, nullptr));
        if (PyDict_CheckExact(stored.get()) && PyDict_GET_SIZE(stored.get()) == static_cast<Py_ssize_t>(N)) {
            Py_ssize_t pos = 0;
            PyObject *key, *value, *member = nullptr;
            size_t i = 0;
            while (i < N && PyDict_Next(stored.get(), &pos, &key, &value) && key == keys[i]) {
                if (i++ == converted) member = value;
            }
            if (i == N) {
                // A copy shares the instance dictionary's key table: cheaper
                // than a new dict filled entry by entry.
                Ref kept = Ref::borrow(member);  // the read below may run Python code
                Ref v = member_value(kept.get(), enum_cls, sites);
                Ref d = rt::check(PyDict_Copy(stored.get()));
                rt::check_status(PyDict_SetItem(d.get(), keys[converted], v.get()));
                return d;
            }
        }
    }
    Ref d = rt::check(PyDict_New());
    for (size_t i = 0; i < N; ++i) {
        Ref v = rt::getattr(self, keys[i]);
        if (i == converted) v = member_value(v.get(), enum_cls, sites);
        rt::check_status(PyDict_SetItem(d.get(), keys[i], v.get()));
    }
    return d;
}

Ref task_to_dict(const Args& a) {
    PyObject* const keys[] = {RT_NAME("id"),          RT_NAME("worker_type"), RT_NAME("command"),
                              RT_NAME("priority"),    RT_NAME("timeout"),     RT_NAME("working_dir"),
                              RT_NAME("env"),         RT_NAME("created_at")};
    static RecordSites sites;
    return fields_to_dict(a[0], keys, RT_NAME("SubprocessTask"), 3, RT_NAME("TaskPriority"), sites);
}
Ref result_to_dict(const Args& a) {
    PyObject* const keys[] = {RT_NAME("task_id"), RT_NAME("status"),   RT_NAME("output"),
                              RT_NAME("error"),   RT_NAME("duration"), RT_NAME("pid")};
    static RecordSites sites;
    return fields_to_dict(a[0], keys, RT_NAME("SubprocessResult"), 1, RT_NAME("WorkerStatus"), sites);
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
    Ref dataclasses = RT_GLOBAL("dataclasses");
    return rt::call_method(dataclasses.get(), RT_NAME("dataclass"), plain);
}

}  // namespace

void define_records() {
    Ref status_members = pairs({{"IDLE", Ref::borrow(RT_NAME("idle"))},
                                {"RUNNING", Ref::borrow(RT_NAME("running"))},
                                {"COMPLETED", Ref::borrow(RT_NAME("completed"))},
                                {"FAILED", Ref::borrow(RT_NAME("failed"))},
                                {"TIMEOUT", Ref::borrow(RT_NAME("timeout"))},
                                {"CANCELLED", Ref::borrow(RT_NAME("cancelled"))}});
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
                               {"worker_type", "str", Ref::borrow(RT_NAME("shell"))},
                               {"command", "dict[str, Any]", factory_field(dict_type)},
                               {"priority", "TaskPriority", rt::getattr(priority_cls.get(), RT_NAME("NORMAL"))},
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

Ref worker_status(PyObject* member) {
    Ref cls = RT_GLOBAL("WorkerStatus");
    return rt::getattr(cls.get(), member);
}

bool status_is(PyObject* status, PyObject* member) {
    Ref m = worker_status(member);
    int eq = PyObject_RichCompareBool(status, m.get(), Py_EQ);
    if (eq < 0) rt::throw_pending();
    return eq != 0;
}

Ref make_result(PyObject* task_id, const Ref& status, const Ref& output, const Ref& error, double duration,
                const Ref& pid) {
    Ref cls = RT_GLOBAL("SubprocessResult");
    return rt::call_kw(cls.get(), RT_KW("task_id,status,output,error,duration,pid"), {}, {Ref::borrow(task_id), status, output, error, rt::floating(duration), pid});
}

}  // namespace jobwarden
