// Starting and stopping the bridge, the connector's callback, the single
// queue worker that hands messages to _handle_message one at a time, and
// the module's singleton accessor.
#include "chatferry.hpp"

namespace chatferry {

namespace {

// How long one wait for a queued message lasts before `_running` is tested again.
constexpr double kQueueWait = 2.0;
// Preview of the message text in the log lines.
constexpr Py_ssize_t kPreview = 80;
// Cut of the exception text in the error reply to the user.
constexpr Py_ssize_t kErrorCut = 500;

bool is_running_now(PyObject* self) { return rt::truthy(RT_ATTR(self, "_running").get()); }

// ---- start / stop ----------------------------------------------------------

Co<Ref> start_co(Arg self) {
    if (is_running_now(self.get())) {
        RT_LOG_INFO(RT_NAME("Chatferry already running"));
        co_return rt::none();
    }
    Ref telegram = rt::call_method(self.get(), RT_NAME("_get_telegram"));
    if (!rt::truthy(telegram.get())) {
        RT_LOG_ERROR(RT_NAME("Cannot start Chatferry \u2014 Telegram connector not available or not configured"));
        co_return rt::none();
    }
    Ref handler = rt::getattr(self.get(), RT_NAME("_on_telegram_message"));
    rt::call_method(telegram.get(), RT_NAME("set_message_handler"), handler);
    RT_LOG_INFO(RT_NAME("Message handler registered"));
    co_await rt::call_method(telegram.get(), RT_NAME("start"));
    RT_LOG_INFO(RT_NAME("Telegram polling started"));
    // Set before the worker exists, so that its first loop test finds it true.
    rt::setattr(self.get(), RT_NAME("_running"), true);
    Ref worker = rt::call_method(self.get(), RT_NAME("_process_queue"));
    Ref asyncio = RT_GLOBAL("asyncio");
    rt::setattr(self.get(), RT_NAME("_worker_task"), RT_CALL_MODULE_ATTR(asyncio.get(), "create_task", worker));
    RT_LOG_INFO(RT_NAME("Chatferry started \u2014 two-way messaging active"));
    co_return rt::none();
}

Ref start(const Args& a) { return rt::coroutine(a, start_co(a[0])); }

Co<Ref> stop_co(Arg self) {
    rt::setattr(self.get(), RT_NAME("_running"), false);
    Ref task = RT_ATTR(self.get(), "_worker_task");
    if (rt::truthy(task.get()) && !rt::truthy(rt::call_method(task.get(), RT_NAME("done")).get())) {
        rt::call_method(task.get(), RT_NAME("cancel"));
        try {
            co_await task;
        } catch (rt::PyException& e) {
            Ref asyncio = RT_GLOBAL("asyncio");
            Ref cancelled = RT_MODULE_ATTR(asyncio.get(), "CancelledError");
            if (!e.matches(cancelled.get())) throw;
        }
    }
    rt::setattr(self.get(), RT_NAME("_worker_task"), rt::none());
    Ref telegram = rt::call_method(self.get(), RT_NAME("_get_telegram"));
    if (rt::truthy(telegram.get())) co_await rt::call_method(telegram.get(), RT_NAME("stop"));
    RT_LOG_INFO(RT_NAME("Chatferry stopped"));
    co_return rt::none();
}

Ref stop(const Args& a) { return rt::coroutine(a, stop_co(a[0])); }

Ref is_running(const Args& a) { return RT_ATTR(a[0], "_running"); }

// ---- the queue -------------------------------------------------------------

Co<Ref> on_telegram_message_co(Arg self, Arg text, Arg metadata) {
    Ref sender = RT_GET_OR(metadata.get(), "from_name", RT_NAME("unknown"));
    RT_LOG_INFO(rt::concat({RT_NAME("Queuing Telegram message from "), sender.get(), RT_NAME(": "), rt::head(text.get(), kPreview).get()}));
    Ref queue = RT_ATTR(self.get(), "_queue");
    Ref pair = rt::check(PyTuple_Pack(2, text.get(), metadata.get()));
    co_await rt::call_method(queue.get(), RT_NAME("put"), pair);
    co_return rt::none();
}

Ref on_telegram_message(const Args& a) {
    return rt::coroutine(a, on_telegram_message_co(a[0], a[1], a[2]));
}

// The error reply after a failed handling.  If sending it fails too, the
// failure is logged and the worker goes on with the next message.
Co<Ref> answer_failure(Arg self, Arg error, Arg metadata) {
    Ref message = rt::text_of(error.get());
    rt::log_exception(rt::format("Error processing Telegram message: %U", message.get()), error);
    Ref reply = rt::format("%s%U", "\u26A0\uFE0F Sorry, I encountered an error:\n", rt::head(message.get(), kErrorCut).get());
    auto sent = co_await rt::attempt(rt::call_method(self.get(), RT_NAME("_send_reply"), reply, metadata));
    if (sent.failed()) {
        Ref e = ordinary_error(sent);
        rt::log_exception(rt::format("Failed to send error reply: %S", e.get()), e);
    }
    co_return rt::none();
}

// One handling, with a failure answered to the user.  Exceptions that are
// not Exception subclasses (the cancellation from stop()) pass through.
Co<Ref> handle_one(Arg self, Arg text, Arg metadata) {
    auto handled = co_await rt::attempt(rt::call_method(self.get(), RT_NAME("_handle_message"), text, metadata));
    if (handled.failed()) co_await answer_failure(self, ordinary_error(handled), metadata);
    co_return rt::none();
}

// The next queued pair, or null when the wait timed out; rethrows anything
// else (a cancellation included).
Co<Ref> next_item(Arg self) {
    Ref asyncio = RT_GLOBAL("asyncio");
    Ref queue = RT_ATTR(self.get(), "_queue");
    Ref get_item = rt::call_method(queue.get(), RT_NAME("get"));
    Ref wait_for = RT_MODULE_ATTR(asyncio.get(), "wait_for");
    Ref waiting = rt::call_kw(wait_for.get(), RT_KW("timeout"), {get_item}, {rt::floating(kQueueWait)});
    try {
        co_return co_await waiting;
    } catch (rt::PyException& e) {
        if (e.matches(PyExc_TimeoutError)) co_return Ref();
        throw;
    }
}

Co<Ref> process_queue_co(Arg self) {
    RT_LOG_INFO(RT_NAME("Queue processor started"));
    while (is_running_now(self.get())) {
        auto waited = co_await rt::attempt(next_item(self));
        if (waited.failed()) {
            Ref asyncio = RT_GLOBAL("asyncio");
            Ref cancelled = RT_MODULE_ATTR(asyncio.get(), "CancelledError");
            Ref e = rt::python_error(waited);
            if (e && PyErr_GivenExceptionMatches(e.get(), cancelled.get())) break;
            waited.get();  // anything else ends the worker
        }
        Ref item = waited.get();
        if (!item) continue;  // nothing arrived in time

        Ref text, metadata;
        {
            Ref items = rt::check(PySequence_Tuple(item.get()));
            const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
            if (n > 2) rt::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
            if (n < 2) rt::raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
            text = Ref::borrow(PyTuple_GET_ITEM(items.get(), 0));
            metadata = Ref::borrow(PyTuple_GET_ITEM(items.get(), 1));
        }
        Ref shown = rt::text_of(text.get());
        RT_LOG_INFO(rt::concat({RT_NAME("Processing queued message: "), rt::head(shown.get(), kPreview).get()}));

        rt::setattr(self.get(), RT_NAME("_processing"), true);
        auto out = co_await rt::attempt(handle_one(self, text, metadata));
        rt::setattr(self.get(), RT_NAME("_processing"), false);
        out.get();
    }
    co_return rt::none();
}

Ref process_queue(const Args& a) { return rt::coroutine(a, process_queue_co(a[0])); }

// ---- the singleton -----------------------------------------------------------

Ref get_chatferry(const Args&) {
    Ref bridge = RT_GLOBAL("_bridge");
    if (bridge.is_none()) {
        Ref cls = RT_GLOBAL("Chatferry");
        bridge = rt::call(cls.get());
        rt::set_global("_bridge", bridge);
    }
    return bridge;
}

}  // namespace

const rt::FuncDef start_def{"start", "Start the bridge \u2014 begins processing incoming Telegram messages.",
                            kSelfOnly, "None", start, rt::Kind::Coroutine};
const rt::FuncDef stop_def{"stop", "Stop the bridge.", kSelfOnly, "None", stop, rt::Kind::Coroutine};
const rt::FuncDef is_running_def{"is_running", nullptr, kSelfOnly, "bool", is_running};
const rt::FuncDef on_telegram_message_def{"_on_telegram_message",
                                          "Callback when a Telegram message arrives \u2014 queue it for processing.",
                                          kMessageParams,
                                          "None",
                                          on_telegram_message,
                                          rt::Kind::Coroutine};
const rt::FuncDef process_queue_def{"_process_queue", "Worker that processes queued Telegram messages one at a time.",
                                    kSelfOnly, "None", process_queue, rt::Kind::Coroutine};
const rt::FuncDef get_chatferry_def{"get_chatferry", "Get or create the singleton Chatferry.", {}, "Chatferry",
                                    get_chatferry};

}  // namespace chatferry
