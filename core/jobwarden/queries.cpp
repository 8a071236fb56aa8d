// Jobwarden's batch, listing, cancellation and cleanup operations.  None of
// them takes the pool's lock or calls the result callbacks.
#include "jobwarden.hpp"

#include <unordered_set>
#include <vector>

namespace jobwarden {

namespace {

Co<Ref> spawn_many_co(Arg self, Arg tasks) {
    const Py_ssize_t n = PyList_GET_SIZE(tasks.get());
    if (n == 0) co_return rt::check(PyList_New(0));
    Ref spawns = rt::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref coro = rt::call_method(self.get(), RT_NAME("spawn"), PyList_GET_ITEM(tasks.get(), i));
        PyTuple_SET_ITEM(spawns.get(), i, coro.release());
    }
    Ref asyncio = RT_GLOBAL("asyncio");
    Ref gather = RT_MODULE_ATTR(asyncio.get(), "gather");
    Ref gathering = rt::check(PyObject_Vectorcall(gather.get(), &PyTuple_GET_ITEM(spawns.get(), 0),
                                                  static_cast<size_t>(n), nullptr));
    Ref results = co_await gathering;
    co_return rt::check(PySequence_List(results.get()));
}
Ref spawn_many(const Args& a) { return rt::coroutine(a, spawn_many_co(a[0], a[1])); }

Ref get_result(const Args& a) {
    return rt::get_or(POOL_ATTR(a[0], "_results").get(), a[1]);
}

Ref list_active(const Args& a) {
    Ref out = rt::check(PyList_New(0));
    Ref items = rt::check(PyDict_Items(POOL_ATTR(a[0], "_workers").get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* worker = PyTuple_GET_ITEM(item, 1);
        Ref status = ATTR(worker, "status");
        if (!status_is(status.get(), RT_NAME("RUNNING"))) continue;
        Ref entry = rt::check(PyDict_New());
        rt::setitem(entry.get(), RT_NAME("id"), PyTuple_GET_ITEM(item, 0));
        rt::setitem(entry.get(), RT_NAME("pid"), ATTR(worker, "pid"));
        rt::setitem(entry.get(), RT_NAME("status"), ATTR(status.get(), "value"));
        Ref elapsed = ATTR(worker, "elapsed");
        rt::setitem(entry.get(), RT_NAME("elapsed"), rt::call_method(elapsed.get(), RT_NAME("__round__"), 2));
        rt::check_status(PyList_Append(out.get(), entry.get()));
    }
    return out;
}

Ref list_results(const Args& a) {
    Ref results = rt::check(PySequence_List(rt::check(PyDict_Values(POOL_ATTR(a[0], "_results").get())).get()));
    Ref operator_mod = rt::check(PyImport_ImportModule("operator"));
    Ref key = rt::call_method(operator_mod.get(), RT_NAME("attrgetter"), RT_NAME("duration"));
    Ref sort = rt::getattr(results.get(), RT_NAME("sort"));
    rt::call_kw(sort.get(), RT_KW("key,reverse"), {}, {key, rt::boolean(true)});
    Ref slice = rt::check(PySlice_New(nullptr, a[1], nullptr));  // results[:limit]
    Ref kept = rt::getitem(results.get(), slice.get());
    Ref out = rt::check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(kept.get()); ++i) {
        Ref d = rt::call_method(PyList_GET_ITEM(kept.get(), i), RT_NAME("to_dict"));
        rt::check_status(PyList_Append(out.get(), d.get()));
    }
    return out;
}

// Stop a running worker, mark it cancelled and keep its result.
Co<Ref> cancel_running(Arg self, Arg task_id, Ref worker) {
    co_await rt::call_method(worker.get(), RT_NAME("stop"));
    Ref cancelled = WORKER_STATUS("CANCELLED");
    rt::setattr(worker.get(), RT_NAME("status"), cancelled);
    Ref record = make_result(task_id.get(), cancelled, rt::none(), rt::none(), 0.0, ATTR(worker.get(), "pid"));
    rt::setitem(POOL_ATTR(self.get(), "_results").get(), task_id.get(), record);
    co_return rt::boolean(true);
}

// Until the stop there is nothing to await: an id without a running
// worker is answered without a coroutine frame.
rt::FirstStep cancel_first(PyObject* const* a) {
    Ref workers = POOL_ATTR(a[0], "_workers");
    Ref worker = rt::get_or(workers.get(), a[1]);
    if (worker.is_none() || !status_is(ATTR(worker.get(), "status").get(), RT_NAME("RUNNING"))) {
        return {rt::boolean(false), {}};
    }
    return {Ref(), cancel_running(a[0], a[1], std::move(worker))};
}
Ref cancel(const Args& a) { return rt::coroutine(a, cancel_first); }

// Stops every running worker once, including workers that spawns register
// while a stop is awaited: after each pass over a snapshot of the registry
// it walks the workers it has not seen yet, until no new one appears.
Co<Ref> cleanup_co(Arg self) {
    Ref workers = POOL_ATTR(self.get(), "_workers");
    std::unordered_set<PyObject*> seen;
    std::vector<Ref> keep_alive;  // seen workers stay alive, so their addresses stay unique
    for (;;) {
        Ref snapshot = rt::check(PyDict_Values(workers.get()));
        bool found_new = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
            Ref worker = Ref::borrow(PyList_GET_ITEM(snapshot.get(), i));
            if (!seen.insert(worker.get()).second) continue;
            keep_alive.push_back(worker);
            found_new = true;
            if (status_is(ATTR(worker.get(), "status").get(), RT_NAME("RUNNING"))) {
                co_await rt::call_method(worker.get(), RT_NAME("stop"));
            }
        }
        if (!found_new) break;
    }
    PyDict_Clear(workers.get());
    RT_LOG_INFO(RT_NAME("Jobwarden cleaned up"));
    co_return rt::none();
}
Ref cleanup(const Args& a) { return rt::coroutine(a, cleanup_co(a[0])); }

const Param self_only[] = {{"self"}};
const Param tasks_params[] = {{"self"}, {"tasks", "list[SubprocessTask]", Check::List}};
const Param id_params[] = {{"self"}, {"task_id", "str", Check::Str}};
const Param limit_params[] = {{"self"}, {"limit", "int", Check::Int, false, rt::int_default(20)}};

const rt::FuncDef spawn_many_def{"spawn_many", "Spawn multiple tasks concurrently and collect all results.",
                                 tasks_params, "list[SubprocessResult]", spawn_many, rt::Kind::Coroutine};
const rt::FuncDef get_result_def{"get_result", nullptr, id_params, "SubprocessResult | None", get_result};
const rt::FuncDef list_active_def{"list_active", "List currently active workers.", self_only,
                                  "list[dict[str, Any]]", list_active};
const rt::FuncDef list_results_def{"list_results", "List recent task results.", limit_params,
                                   "list[dict[str, Any]]", list_results};
const rt::FuncDef cancel_def{"cancel", "Cancel a running task.", id_params, "bool", cancel, rt::Kind::Coroutine};
const rt::FuncDef cleanup_def{"cleanup", "Stop all workers and clean up temp files.", self_only, "None", cleanup,
                              rt::Kind::Coroutine};

}  // namespace

void add_pool_queries(rt::ClassBuilder& cls) {
    cls.method(spawn_many_def)
        .method(get_result_def)
        .method(list_active_def)
        .method(list_results_def)
        .method(cancel_def)
        .method(cleanup_def);
}

}  // namespace jobwarden
