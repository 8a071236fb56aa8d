// Jobwarden: the pool that runs each task in its own worker process.
//
// Tables kept on the pool object (so host code can inspect them):
//   _workers    task id -> WorkerProcess, every worker that started
//   _results    task id -> SubprocessResult, the last result of each task
//   _callbacks  result callbacks, in registration order
//   _lock       serialises the worker-limit check of concurrent spawns
//   _starting   places held by spawns that passed the limit check but have
//               not registered their worker yet
#include "jobwarden.hpp"

namespace jobwarden {

namespace {

// ---- constructor and script resolution -------------------------------------------

Ref init(const Args& a) {
    PyObject* self = a[0];
    rt::setattr(self, RT_NAME("max_workers"), a[1]);
    rt::setattr(self, RT_NAME("default_timeout"), a[2]);
    PyObject* temp_dir = a[3];
    if (temp_dir != Py_None && PyUnicode_GET_LENGTH(temp_dir) > 0) {
        rt::setattr(self, RT_NAME("temp_dir"), temp_dir);
    } else {
        Ref tempfile = RT_GLOBAL("tempfile");
        Ref mkdtemp = rt::getattr(tempfile.get(), RT_NAME("mkdtemp"));
        rt::setattr(self, RT_NAME("temp_dir"), rt::call_kw(mkdtemp.get(), RT_KW("prefix"), {}, {Ref::borrow(RT_NAME("tovana_workers_"))}));
    }
    rt::setattr(self, RT_NAME("_workers"), rt::check(PyDict_New()));
    rt::setattr(self, RT_NAME("_results"), rt::check(PyDict_New()));
    rt::setattr(self, RT_NAME("_callbacks"), rt::check(PyList_New(0)));
    Ref asyncio = RT_GLOBAL("asyncio");
    rt::setattr(self, RT_NAME("_lock"), RT_CALL_MODULE_ATTR(asyncio.get(), "Lock"));
    rt::setattr(self, RT_NAME("_starting"), rt::integer(0));
    return rt::none();
}

struct ScriptEntry {
    const char* worker_type;
    const char* file;
};
constexpr ScriptEntry kScripts[] = {
    {"shell", "shell_worker.py"},
    {"file_edit", "file_edit_worker.py"},
    {"code_analysis", "code_analysis_worker.py"},
    {"custom", "custom_worker.py"},
};

Ref resolve_worker_script(const Args& a) {
    std::string_view type = rt::utf8(a[1]);
    for (const ScriptEntry& e : kScripts) {
        if (type != e.worker_type) continue;
        Ref dir = ATTR(a[0], "WORKER_SCRIPTS_DIR");
        Ref path = rt::check(PyNumber_TrueDivide(dir.get(), rt::str(e.file).get()));
        if (rt::truthy(rt::call_method(path.get(), RT_NAME("exists")).get())) return path;
        RT_LOG_ERROR(rt::format("Worker script not found: %S", path.get()));
        return rt::none();
    }
    return rt::none();
}

// ---- callbacks -----------------------------------------------------------------------

Ref on_result(const Args& a) {
    Ref callbacks = POOL_ATTR(a[0], "_callbacks");
    rt::check_status(PyList_Append(callbacks.get(), a[1]));
    return rt::none();
}

// asyncio.iscoroutine(value).  While that is the standard function, its
// own steps run here on its own module's globals: a type seen before as a
// coroutine's, else isinstance() against its coroutine types, remembering
// up to 100 such types.  A patched one is called.
bool is_coroutine(PyObject* value) {
    Ref asyncio = RT_GLOBAL("asyncio");
    PyObject* f = rt::original_in(asyncio.get(), RT_NAME("iscoroutine"), rt::Original::iscoroutine, RT_WATCHED);
    PyObject* globals = f && PyFunction_Check(f) ? PyFunction_GET_GLOBALS(f) : nullptr;
    // Held: isinstance() may run Python code that rebinds those globals.
    Ref seen = Ref::borrow(globals ? rt::dict_find(globals, RT_NAME("_iscoroutine_typecache"), RT_WATCHED) : nullptr);
    Ref types = Ref::borrow(globals ? rt::dict_find(globals, RT_NAME("_COROUTINE_TYPES"), RT_WATCHED) : nullptr);
    if (!seen || !types || !PySet_CheckExact(seen.get())) {
        return rt::truthy(RT_CALL_MODULE_ATTR(asyncio.get(), "iscoroutine", value).get());
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    const int known = PySet_Contains(seen.get(), type);
    if (known < 0) rt::throw_pending();
    if (known) return true;
    const int is = PyObject_IsInstance(value, types.get());
    if (is < 0) rt::throw_pending();
    if (is && PySet_GET_SIZE(seen.get()) < 100) rt::check_status(PySet_Add(seen.get(), type));
    return is;
}

Co<Ref> notify_co(Arg self, Arg result) {
    Ref callbacks = POOL_ATTR(self.get(), "_callbacks");
    // The length is read before every step: callbacks registered during the
    // walk are called in the same walk.
    for (Py_ssize_t i = 0; i < rt::length(callbacks.get()); ++i) {
        Ref callback = rt::item(callbacks.get(), i);
        // Call it; await what it returns if that is a coroutine.  An
        // ordinary exception from either is logged, anything else passes.
        Ref error;
        try {
            Ref value = rt::call(callback.get(), result);
            if (is_coroutine(value.get())) {
                co_await value;
            }
        } catch (rt::PyException& e) {
            if (!e.is_ordinary()) throw;
            error = e.ref();
        }
        if (error) RT_LOG_WARNING(rt::format("Result callback error: %S", error.get()));
    }
    co_return rt::none();
}
Ref notify(const Args& a) { return rt::coroutine(a, notify_co(a[0], a[1])); }

// ---- spawning --------------------------------------------------------------------------

void add_starting(PyObject* self, long delta) {
    Ref n = ATTR(self, "_starting");
    rt::setattr(self, RT_NAME("_starting"), rt::integer(PyLong_AsLong(n.get()) + delta));
}

// A refused task: FAILED with `error`, nothing measured, no process.
Ref refusal(PyObject* task_id, const Ref& error) {
    return make_result(task_id, WORKER_STATUS("FAILED"), rt::none(), error, 0.0, rt::none());
}

// Under the lock: refuse the task when the pool is full (announcing the
// refusal while the lock is held), else hold a place and return None.
Co<Ref> check_limit(Arg self, Arg task) {
    Ref task_id = ATTR(task.get(), "id");
    Ref workers = POOL_ATTR(self.get(), "_workers");
    Ref running = WORKER_STATUS("RUNNING");
    long count = PyLong_AsLong(ATTR(self.get(), "_starting").get());
    Ref values = rt::check(PyDict_Values(workers.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        Ref status = ATTR(PyList_GET_ITEM(values.get(), i), "status");
        int eq = PyObject_RichCompareBool(status.get(), running.get(), Py_EQ);
        if (eq < 0) rt::throw_pending();
        count += eq;
    }
    Ref max_workers = ATTR(self.get(), "max_workers");
    Ref count_obj = rt::integer(count);
    int full = PyObject_RichCompareBool(count_obj.get(), max_workers.get(), Py_GE);
    if (full < 0) rt::throw_pending();
    if (full) {
        Ref result = refusal(task_id.get(), rt::format("Worker limit reached (%S). Try again later.", max_workers.get()));
        co_await rt::call_method(self.get(), RT_NAME("_notify"), result);
        co_return result;
    }
    add_starting(self.get(), +1);
    co_return rt::none();
}

// Start the worker, register it, send the command and read the answer.
Co<Ref> run_worker(Arg self, Arg task, Arg worker, double started, bool* holding) {
    co_await rt::call_method(worker.get(), RT_NAME("start"));
    Ref task_id = ATTR(task.get(), "id");
    rt::setitem(POOL_ATTR(self.get(), "_workers").get(), task_id.get(), worker);
    *holding = false;
    add_starting(self.get(), -1);

    Ref answer = co_await rt::call_method(worker.get(), RT_NAME("send_command"), ATTR(task.get(), "command"));
    double duration = rt::wall_time() - started;
    Ref success = rt::call_method(answer.get(), RT_NAME("get"), RT_NAME("success"));
    Ref status = rt::truthy(success.get()) ? WORKER_STATUS("COMPLETED") : WORKER_STATUS("FAILED");
    Ref output = rt::call_method(answer.get(), RT_NAME("get"), RT_NAME("result"));
    Ref error = rt::call_method(answer.get(), RT_NAME("get"), RT_NAME("error"));
    co_return make_result(task_id.get(), status, output, error, duration, ATTR(worker.get(), "pid"));
}

Co<Ref> spawn_co(Arg self, Arg task) {
    const double started = rt::wall_time();
    Ref worker_type = ATTR(task.get(), "worker_type");
    Ref script = rt::call_method(self.get(), RT_NAME("_resolve_worker_script"), worker_type);
    if (script.is_none()) {
        Ref result = refusal(ATTR(task.get(), "id").get(), rt::format("Unknown worker type: %S", worker_type.get()));
        co_await rt::call_method(self.get(), RT_NAME("_notify"), result);
        co_return result;
    }

    Ref lock = POOL_ATTR(self.get(), "_lock");
    co_await rt::call_method(lock.get(), RT_NAME("acquire"));
    // Everything done under the lock, reading the task included, is inside
    // the attempt, so the lock is released on every way out.
    auto checked = co_await rt::attempt(check_limit(self, task));
    rt::call_method(lock.get(), RT_NAME("release"));
    if (Ref refused = checked.get(); !refused.is_none()) co_return refused;

    // From here the spawn holds a place until its worker registers.
    bool holding = true;
    auto release_place = [&] {
        if (holding) {
            holding = false;
            add_starting(self.get(), -1);
        }
    };
    Ref worker;
    try {
        Ref timeout = ATTR(task.get(), "timeout");
        if (!rt::truthy(timeout.get()) || is_nan(timeout.get())) timeout = ATTR(self.get(), "default_timeout");
        Ref cls = RT_GLOBAL("WorkerProcess");
        worker = rt::call_kw(cls.get(), RT_KW("worker_id,script_path,working_dir,env,timeout"), {}, {ATTR(task.get(), "id"), rt::text_of(script.get()), ATTR(task.get(), "working_dir"), ATTR(task.get(), "env"), timeout});
    } catch (...) {
        release_place();
        throw;
    }

    auto ran = co_await rt::attempt(run_worker(self, task, worker, started, &holding));
    release_place();
    // Building the result may fail too (the task's id is read again); the
    // worker is stopped first all the same.
    Ref result;
    std::exception_ptr building;
    try {
        if (ran.failed()) {
            Ref exc = rt::python_error(ran);
            if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
                Ref status = PyErr_GivenExceptionMatches(exc.get(), PyExc_TimeoutError) ? WORKER_STATUS("TIMEOUT")
                                                                                       : WORKER_STATUS("FAILED");
                result = make_result(ATTR(task.get(), "id").get(), status, rt::none(),
                                     rt::text_of(exc.get()), rt::wall_time() - started, ATTR(worker.get(), "pid"));
            }
        }
    } catch (...) {
        building = std::current_exception();
    }
    // The worker is stopped on every way out, a cancellation included.
    auto stopped = co_await rt::attempt(rt::call_method(worker.get(), RT_NAME("stop")));
    if (status_is(ATTR(worker.get(), "status").get(), RT_NAME("RUNNING"))) {
        // Its child had already exited, so stop() left it as it was.
        rt::setattr(worker.get(), RT_NAME("status"), WORKER_STATUS("COMPLETED"));
    }
    if (ran.failed() && !result && !building) ran.get();  // cancelled: nothing is stored or announced
    stopped.get();
    if (building) std::rethrow_exception(building);
    if (!result) result = ran.get();

    rt::setitem(POOL_ATTR(self.get(), "_results").get(), ATTR(task.get(), "id").get(), result);
    co_await rt::call_method(self.get(), RT_NAME("_notify"), result);
    co_return result;
}
Ref spawn(const Args& a) { return rt::coroutine(a, spawn_co(a[0], a[1])); }

// ---- declarations ---------------------------------------------------------------------------

const Param init_params[] = {
    {"self"},
    {"max_workers", "int", Check::Int, false, rt::int_default(5)},
    {"default_timeout", "float", Check::Float, false, rt::float_default(60.0)},
    {"temp_dir", "str | None", Check::Str, true, rt::none_default},
};
const Param self_only[] = {{"self"}};
const Param callback_params[] = {{"self"}, {"callback", "Callable[[SubprocessResult], Any]"}};
const Param result_params[] = {{"self"}, {"result", "SubprocessResult"}};
const Param task_params[] = {{"self"}, {"task", "SubprocessTask"}};
const Param type_params[] = {{"self"}, {"worker_type", "str", Check::Str}};

const rt::FuncDef init_def{"__init__", nullptr, init_params, nullptr, init};
const rt::FuncDef on_result_def{"on_result", "Register a callback for when a task completes.", callback_params, "None",
                                on_result};
const rt::FuncDef notify_def{"_notify", nullptr, result_params, "None", notify, rt::Kind::Coroutine};
const rt::FuncDef spawn_def{"spawn",
                            "Spawn a worker subprocess to execute a task.\n"
                            "\n"
                            "        This is the main entry point. It:\n"
                            "          1. Selects the appropriate worker script\n"
                            "          2. Starts the subprocess\n"
                            "          3. Sends the command\n"
                            "          4. Collects and returns the result\n"
                            "        ",
                            task_params, "SubprocessResult", spawn, rt::Kind::Coroutine};
const rt::FuncDef resolve_def{"_resolve_worker_script", "Map worker type to the appropriate Python script.",
                              type_params, "Path | None", resolve_worker_script};

constexpr const char* kPoolDoc =
    "Orchestrates a pool of worker subprocesses.\n"
    "\n"
    "    Features:\n"
    "      - Priority task queue\n"
    "      - Configurable max concurrent workers\n"
    "      - Automatic cleanup of finished workers\n"
    "      - Event callbacks for task completion\n"
    "      - Resource limit enforcement\n"
    "    ";

// Path(__file__).parent.parent / "workers": the package root's workers folder.
Ref worker_scripts_dir() {
    Ref path_cls = RT_GLOBAL("Path");
    Ref here = rt::call(path_cls.get(), RT_GLOBAL("__file__"));
    Ref root = ATTR(ATTR(here.get(), "parent").get(), "parent");
    return rt::check(PyNumber_TrueDivide(root.get(), RT_NAME("workers")));
}

}  // namespace

void define_pool() {
    rt::ClassBuilder cls("Jobwarden", kPoolDoc);
    cls.attr("WORKER_SCRIPTS_DIR", worker_scripts_dir());
    cls.method(init_def).method(resolve_def).method(spawn_def).method(on_result_def).method(notify_def);
    add_pool_queries(cls);
    rt::set_global("Jobwarden", cls.build());
}

}  // namespace jobwarden
