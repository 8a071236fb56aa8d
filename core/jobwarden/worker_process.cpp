// WorkerProcess: one worker child process and its JSON line protocol.
//
// The child runs a worker script under the host interpreter with three
// pipes.  Commands go to its standard input as one JSON line each; the next
// line on its standard output is the answer.  Its standard error is drained
// all the time by a small task (the last 64 KiB are kept), so a chatty
// worker never blocks on a full pipe; the text is reported when the child
// closes its standard output without answering.
#include "jobwarden.hpp"

namespace jobwarden {

namespace {

constexpr Py_ssize_t kStderrKeep = 64 * 1024;
constexpr double kStderrWait = 2.0;
constexpr double kStopWait = 5.0;

Ref pipe_constant() {
    Ref asyncio = RT_GLOBAL("asyncio");
    Ref subprocess = RT_MODULE_ATTR(asyncio.get(), "subprocess");
    return rt::getattr(subprocess.get(), RT_NAME("PIPE"));
}

// The host interpreter's own executable, else what a PATH search finds.
Ref interpreter() {
    Ref sys = RT_GLOBAL("sys");
    Ref exe = rt::getattr_opt(sys.get(), RT_NAME("executable"));
    if (exe && rt::truthy(exe.get())) return exe;
    Ref shutil = RT_GLOBAL("shutil");
    for (const char* name : {"python", "python3"}) {
        Ref found = rt::call_method(shutil.get(), RT_NAME("which"), name);
        if (rt::truthy(found.get())) return found;
    }
    return Ref::borrow(RT_NAME("python"));
}

// json.dumps(obj) + "\n", as UTF-8 bytes.
Ref json_line(PyObject* obj) {
    Ref json = RT_GLOBAL("json");
    Ref text = RT_CALL_MODULE_ATTR(json.get(), "dumps", Ref::borrow(obj));
    Ref line = rt::check(PyUnicode_Concat(text.get(), RT_NAME("\n")));
    return rt::check(PyUnicode_AsUTF8String(line.get()));
}

// Write one line to the child's standard input and wait for the drain.
Co<Ref> write_line(Arg stdin_writer, Arg line) {
    rt::call_method(stdin_writer.get(), RT_NAME("write"), line);
    co_await rt::call_method(stdin_writer.get(), RT_NAME("drain"));
    co_return rt::none();
}

// ---- __init__, properties ----------------------------------------------------

Ref init(const Args& a) {
    PyObject* self = a[0];
    rt::setattr(self, RT_NAME("worker_id"), a[1]);
    rt::setattr(self, RT_NAME("script_path"), a[2]);
    rt::setattr(self, RT_NAME("working_dir"), a[3]);
    PyObject* env = a[4];
    rt::setattr(self, RT_NAME("env"), env != Py_None && PyDict_GET_SIZE(env) ? Ref::borrow(env) : rt::check(PyDict_New()));
    rt::setattr(self, RT_NAME("timeout"), a[5]);
    rt::setattr(self, RT_NAME("process"), rt::none());
    rt::setattr(self, RT_NAME("status"), WORKER_STATUS("IDLE"));
    rt::setattr(self, RT_NAME("start_time"), rt::floating(0.0));
    rt::setattr(self, RT_NAME("_stderr_tail"), rt::check(PyByteArray_FromStringAndSize(nullptr, 0)));
    rt::setattr(self, RT_NAME("_stderr_drain"), rt::none());
    return rt::none();
}

Ref pid(const Args& a) {
    Ref process = ATTR(a[0], "process");
    if (process.is_none()) return rt::none();
    return ATTR(process.get(), "pid");
}

Ref elapsed(const Args& a) {
    double start = rt::as_double(ATTR(a[0], "start_time").get());
    if (start == 0.0) return rt::floating(0.0);
    return rt::floating(rt::wall_time() - start);
}

// ---- standard error ------------------------------------------------------------

Co<Ref> drain_stderr_co(Arg self) {
    Ref process = ATTR(self.get(), "process");
    Ref stream = process.is_none() ? rt::none() : ATTR(process.get(), "stderr");
    if (stream.is_none()) co_return rt::none();
    Ref tail = ATTR(self.get(), "_stderr_tail");
    for (;;) {
        Ref chunk = co_await rt::call_method(stream.get(), RT_NAME("read"), kStderrKeep);
        if (PyBytes_GET_SIZE(chunk.get()) == 0) break;
        rt::call_method(tail.get(), RT_NAME("extend"), chunk);
        Py_ssize_t excess = PyByteArray_GET_SIZE(tail.get()) - kStderrKeep;
        if (excess > 0) rt::check_status(PySequence_DelSlice(tail.get(), 0, excess));
    }
    co_return rt::none();
}
Ref drain_stderr(const Args& a) { return rt::coroutine(a, drain_stderr_co(a[0])); }

// End the drain task if it still runs (a grandchild may hold the pipe).
Co<Ref> end_drain(Arg self) {
    Ref task = ATTR(self.get(), "_stderr_drain");
    if (task.is_none()) co_return rt::none();
    if (!rt::truthy(rt::call_method(task.get(), RT_NAME("done")).get())) {
        rt::call_method(task.get(), RT_NAME("cancel"));
        // asyncio.wait() lets the drain's own (expected) cancellation pass
        // without raising it, while a cancellation of the caller still
        // propagates: awaiting the task itself could not tell the two apart.
        Ref waiting = rt::check(PySet_New(nullptr));
        rt::check_status(PySet_Add(waiting.get(), task.get()));
        Ref asyncio = RT_GLOBAL("asyncio");
        co_await RT_CALL_MODULE_ATTR(asyncio.get(), "wait", waiting);
    }
    co_return rt::none();
}

// What the child wrote to standard error, waiting up to 2 s for its end.
Co<Ref> collect_stderr(Arg self, Arg process) {
    Ref asyncio = RT_GLOBAL("asyncio");
    Ref task = ATTR(self.get(), "_stderr_drain");
    Ref data;
    if (!task.is_none()) {
        Ref waiting = rt::check(PySet_New(nullptr));
        rt::check_status(PySet_Add(waiting.get(), task.get()));
        Ref wait = RT_MODULE_ATTR(asyncio.get(), "wait");
        Ref waited = rt::call_kw(wait.get(), RT_KW("timeout"), {waiting}, {rt::floating(kStderrWait)});
        co_await waited;
        data = rt::check(PyBytes_FromObject(ATTR(self.get(), "_stderr_tail").get()));
    } else {
        // No drain running: read the pipe to its end, within the bound.
        data = rt::check(PyBytes_FromStringAndSize(nullptr, 0));
        Ref stream = ATTR(process.get(), "stderr");
        if (!stream.is_none()) {
            Ref wait_for = RT_MODULE_ATTR(asyncio.get(), "wait_for");
            Ref reading = rt::call_kw(wait_for.get(), RT_KW("timeout"), {rt::call_method(stream.get(), RT_NAME("read"))}, {rt::floating(kStderrWait)});
            auto read = co_await rt::attempt(reading);
            if (read.failed()) {
                Ref exc = rt::python_error(read);
                if (!exc || !PyErr_GivenExceptionMatches(exc.get(), PyExc_TimeoutError)) read.get();
            } else {
                data = read.get();
            }
        }
    }
    co_return rt::check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()), "replace"));
}

// ---- start -----------------------------------------------------------------------

Co<Ref> start_co(Arg self) {
    Ref os = RT_GLOBAL("os");
    Ref env = rt::call_method(ATTR(os.get(), "environ").get(), RT_NAME("copy"));
    Ref extra = ATTR(self.get(), "env");
    if (rt::truthy(extra.get())) rt::call_method(env.get(), RT_NAME("update"), extra);

    Ref asyncio = RT_GLOBAL("asyncio");
    Ref create = RT_MODULE_ATTR(asyncio.get(), "create_subprocess_exec");
    Ref pipe = pipe_constant();
    Ref launch = rt::call_kw(create.get(), RT_KW("stdin,stdout,stderr,cwd,env"), {interpreter(), ATTR(self.get(), "script_path")}, {pipe, pipe, pipe, ATTR(self.get(), "working_dir"), env});
    Ref process = co_await launch;
    rt::setattr(self.get(), RT_NAME("process"), process);
    rt::setattr(self.get(), RT_NAME("status"), WORKER_STATUS("RUNNING"));
    rt::setattr(self.get(), RT_NAME("start_time"), rt::floating(rt::wall_time()));
    RT_LOG_DEBUG(rt::format("Worker %S started (PID: %S)", ATTR(self.get(), "worker_id").get(),
                             ATTR(process.get(), "pid").get()));
    Ref drain = rt::call_method(self.get(), RT_NAME("_drain_stderr"));
    rt::setattr(self.get(), RT_NAME("_stderr_drain"), RT_CALL_MODULE_ATTR(asyncio.get(), "ensure_future", drain));
    co_return rt::none();
}
Ref start(const Args& a) { return rt::coroutine(a, start_co(a[0])); }

// ---- send_command ------------------------------------------------------------------

// The whole exchange of one command: the line out (drained), the answer line in.
Co<Ref> exchange_co(Ref stdin_writer, Ref stdout_reader, Ref line) {
    co_await write_line(stdin_writer, line);
    co_return co_await rt::call_method(stdout_reader.get(), RT_NAME("readline"));
}

// The time-out as asyncio.wait_for takes it: NaN would never expire, so it
// expires at once, like zero.
Ref effective_timeout(const Ref& timeout) {
    if (is_nan(timeout.get())) return rt::floating(0.0);
    return timeout;
}

Co<Ref> send_command_co(Arg self, Arg command, Arg func) {
    Ref worker_id = ATTR(self.get(), "worker_id");
    Ref process = ATTR(self.get(), "process");
    Ref stdin_writer = process.is_none() ? rt::none() : ATTR(process.get(), "stdin");
    Ref stdout_reader = process.is_none() ? rt::none() : ATTR(process.get(), "stdout");
    if (stdin_writer.is_none() || stdout_reader.is_none()) {
        PyErr_SetObject(PyExc_RuntimeError, rt::format("Worker %S is not running", worker_id.get()).get());
        rt::throw_pending();
    }
    Ref command_line = json_line(command.get());

    // The time-out bounds the sending too: a child that does not read its
    // input must not hold the caller in the drain.
    Ref asyncio = RT_GLOBAL("asyncio");
    Ref timeout = ATTR(self.get(), "timeout");
    Ref wait_for = RT_MODULE_ATTR(asyncio.get(), "wait_for");
    Ref exchange = rt::make_coroutine(exchange_co(stdin_writer, stdout_reader, command_line), func.get());
    Ref reading = rt::call_kw(wait_for.get(), RT_KW("timeout"), {exchange}, {effective_timeout(timeout)});
    auto read = co_await rt::attempt(reading);
    if (read.failed()) {
        Ref exc = rt::python_error(read);
        if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_TimeoutError)) {
            rt::setattr(self.get(), RT_NAME("status"), WORKER_STATUS("TIMEOUT"));
            PyErr_SetObject(PyExc_TimeoutError,
                            rt::format("Worker %S timed out after %Ss", worker_id.get(), timeout.get()).get());
            rt::PyException late;
            PyException_SetContext(late.value(), exc.release());
            throw late;
        }
        read.get();
    }
    Ref line = read.get();
    if (PyBytes_GET_SIZE(line.get()) == 0) {
        Ref stderr_text = co_await collect_stderr(self, process);
        PyErr_SetObject(PyExc_RuntimeError,
                        rt::format("Worker %S closed stdout. stderr: %U", worker_id.get(), stderr_text.get()).get());
        rt::throw_pending();
    }
    Ref text = rt::check(PyUnicode_FromEncodedObject(line.get(), "utf-8", "strict"));
    Ref stripped = rt::call_method(text.get(), RT_NAME("strip"));
    Ref json = RT_GLOBAL("json");
    Ref answer = RT_CALL_MODULE_ATTR(json.get(), "loads", stripped);
    if (!answer.is_none() && !PyDict_Check(answer.get())) {
        rt::raisef(PyExc_TypeError, "Worker %s answered with incorrect type (expected dict, got %.200s)",
                   std::string(rt::to_string(worker_id.get())).c_str(), Py_TYPE(answer.get())->tp_name);
    }
    co_return answer;
}
Ref send_command(const Args& a) {
    return rt::coroutine(a, send_command_co(a[0], a[1], a.func));
}

// ---- stop ------------------------------------------------------------------------------

// The quit line (drained), then the child's exit.
Co<Ref> quit_sequence(Ref process) {
    Ref stdin_writer = ATTR(process.get(), "stdin");
    if (!stdin_writer.is_none()) {
        Ref quit = rt::check(PyDict_New());
        rt::setitem(quit.get(), RT_NAME("action"), RT_NAME("quit"));
        co_await write_line(stdin_writer, json_line(quit.get()));
    }
    co_await rt::call_method(process.get(), RT_NAME("wait"));
    co_return rt::none();
}

// The quit sequence within 5 s, the sending included: a child that does not
// read its input cannot hold the stop in the drain.
Co<Ref> quit_and_wait(Arg process, Arg func) {
    Ref asyncio = RT_GLOBAL("asyncio");
    Ref wait_for = RT_MODULE_ATTR(asyncio.get(), "wait_for");
    Ref sequence = rt::make_coroutine(quit_sequence(process), func.get());
    Ref exited = rt::call_kw(wait_for.get(), RT_KW("timeout"), {sequence}, {rt::floating(kStopWait)});
    co_await exited;
    co_return rt::none();
}

bool is_lookup_error(const std::exception_ptr& e) {
    Ref exc = rt::python_error(e);
    return exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_ProcessLookupError);
}

// Kill the child (a child that no longer exists is no error).
void kill(PyObject* process) {
    try {
        rt::call_method(process, RT_NAME("kill"));
    } catch (rt::PyException& e) {
        if (!e.matches(PyExc_ProcessLookupError)) throw;
    }
}

Co<Ref> stop_co(Arg self, Arg func) {
    Ref process = ATTR(self.get(), "process");
    if (process.is_none() || !ATTR(process.get(), "returncode").is_none()) {
        co_await end_drain(self);
        co_return rt::none();
    }
    auto asked = co_await rt::attempt(quit_and_wait(process, func));
    if (asked.failed()) {
        Ref exc = rt::python_error(asked);
        if (!exc || !PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
            // Cancelled (or worse) while waiting: never leave the child behind.
            kill(process.get());
            auto reaped = co_await rt::attempt(rt::call_method(process.get(), RT_NAME("wait")));
            (void)reaped;
            co_await rt::attempt(end_drain(self));
            asked.get();
        }
        kill(process.get());
        auto reaped = co_await rt::attempt(rt::call_method(process.get(), RT_NAME("wait")));
        if (reaped.failed() && !is_lookup_error(reaped.error)) reaped.get();
    }
    co_await end_drain(self);
    rt::setattr(self.get(), RT_NAME("status"), WORKER_STATUS("COMPLETED"));
    RT_LOG_DEBUG(rt::format("Worker %S stopped", ATTR(self.get(), "worker_id").get()));
    co_return rt::none();
}
Ref stop(const Args& a) { return rt::coroutine(a, stop_co(a[0], a.func)); }

// ---- declarations ------------------------------------------------------------------------

const Param init_params[] = {
    {"self"},
    {"worker_id", "str", Check::Str},
    {"script_path", "str", Check::Str},
    {"working_dir", "str | None", Check::Str, true, rt::none_default},
    {"env", "dict[str, str] | None", Check::Dict, true, rt::none_default},
    {"timeout", "float", Check::Float, false, rt::float_default(60.0)},
};
const Param self_only[] = {{"self"}};
const Param command_params[] = {{"self"}, {"command", "dict[str, Any]", Check::Dict}};

const rt::FuncDef init_def{"__init__", nullptr, init_params, nullptr, init};
const rt::FuncDef start_def{"start", "Start the worker subprocess.", self_only, "None", start, rt::Kind::Coroutine};
const rt::FuncDef send_command_def{"send_command", "Send a JSON command to the worker and read the JSON response.",
                                   command_params, "dict[str, Any]", send_command, rt::Kind::Coroutine};
const rt::FuncDef stop_def{"stop", "Gracefully stop the worker.", self_only, "None", stop, rt::Kind::Coroutine};
const rt::FuncDef drain_def{"_drain_stderr", "Keep reading the child's standard error (its last 64 KiB are kept).",
                            self_only, "None", drain_stderr, rt::Kind::Coroutine};
const rt::FuncDef pid_def{"pid", nullptr, self_only, "int | None", pid};
const rt::FuncDef elapsed_def{"elapsed", nullptr, self_only, "float", elapsed};

}  // namespace

void define_worker_process() {
    rt::ClassBuilder cls("WorkerProcess", "Manages a single worker subprocess with JSON stdin/stdout communication.");
    cls.method(init_def).method(start_def).method(send_command_def).method(stop_def).method(drain_def);
    cls.property(pid_def).property(elapsed_def);
    rt::set_global("WorkerProcess", cls.build());
}

}  // namespace jobwarden
