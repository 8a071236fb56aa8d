// One incoming message through the agent: typing indicator, WebSocket
// mirroring, the agent's event stream and the composed reply.
#include "chatferry.hpp"

#include <string>

namespace chatferry {

namespace {

const char* const kNotInitialized =
    "\u26A0\uFE0F Tovana agent is not initialized. Please check the web UI and ensure an API key is configured.";
const char* const kNoResponse = "I received your message but had no response to give. Could you try rephrasing?";
const char* const kDone = "\u2705 Done!";
const char* const kWarning = "\u26A0\uFE0F ";

// At most this many tool lines are listed in a reply.
constexpr Py_ssize_t kShownTools = 8;

// What one handling collects from the agent's stream.
struct Collected {
    Ref response_parts = rt::check(PyList_New(0));
    Ref tool_summaries = rt::check(PyList_New(0));
    long screenshots_sent = 0;
};

void append(const Ref& list, const Ref& item) { rt::check_status(PyList_Append(list.get(), item.get())); }

Ref ws_manager() { return IMPORT_NAME("tovana.gateway.ws", "manager"); }

// telegram.send_typing(chat_id=chat_id), to be awaited.
Ref typing(PyObject* telegram, PyObject* chat_id) {
    return rt::call_method_kw(telegram, RT_NAME("send_typing"), RT_KW("chat_id"), {}, {Ref::borrow(chat_id)});
}

// The incoming message as the web interface shows it.
Co<Ref> broadcast_incoming(Arg text, Arg metadata) {
    Ref manager = ws_manager();
    Ref sender = RT_GET_OR(metadata.get(), "from_name", RT_NAME("User"));
    Ref payload = rt::check(PyDict_New());
    rt::setitem(payload.get(), RT_NAME("type"), RT_NAME("telegram_message"));
    rt::setitem(payload.get(), RT_NAME("content"),
                rt::concat({RT_NAME("\U0001F4F1 **Telegram** ("), sender.get(), RT_NAME("): "), text.get()}));
    rt::setitem(payload.get(), RT_NAME("source"), RT_NAME("telegram"));
    co_await rt::call_method(manager.get(), RT_NAME("broadcast"), payload);
    co_return rt::none();
}

// manager.broadcast(event.to_dict()), to be awaited; null when getting
// there failed with an ordinary error (ignored without a log line).
Ref broadcast_event(PyObject* event) {
    try {
        Ref manager = ws_manager();
        Ref event_dict = rt::call_method(event, RT_NAME("to_dict"));
        return rt::call_method(manager.get(), RT_NAME("broadcast"), event_dict);
    } catch (rt::PyException& e) {
        if (!e.is_ordinary()) throw;
        return Ref();
    }
}

// What handling an event leaves to await: a typing indicator, or a
// screenshot whose true result counts as sent.
struct Pending {
    Ref awaitable;
    bool screenshot = false;
};

// One event by its type; the first matching row wins.
Pending dispatch(PyObject* self, PyObject* event, PyObject* telegram, PyObject* chat_id, Collected& got) {
    Ref type = RT_ATTR(event, "type");
    if (equals(type.get(), RT_NAME("text"))) {
        Ref data = RT_ATTR(event, "data");
        if (rt::truthy(RT_GET(data.get(), "content").get())) {
            Ref content = rt::getitem(data.get(), RT_NAME("content"));
            append(got.response_parts, content);
            RT_LOG_DEBUG(rt::concat({RT_NAME("Agent text: "), rt::head(content.get(), 100).get()}));
        }
    } else if (equals(type.get(), RT_NAME("tool_call"))) {
        Ref data = RT_ATTR(event, "data");
        Ref tool_name = RT_GET_OR(data.get(), "tool", RT_NAME(""));
        if (!equals(tool_name.get(), RT_NAME("plan")) && !equals(tool_name.get(), RT_NAME("memory"))) {
            Ref arguments = RT_GET_OR(data.get(), "arguments", rt::check(PyDict_New()).get());
            Ref operation = RT_GET_OR(arguments.get(), "operation", RT_NAME(""));
            Ref summary = rt::truthy(operation.get())
                              ? rt::concat({RT_NAME("\U0001F527 "), tool_name.get(), RT_NAME("."), operation.get()})
                              : rt::concat({RT_NAME("\U0001F527 "), tool_name.get()});
            append(got.tool_summaries, summary);
            RT_LOG_DEBUG(rt::concat({RT_NAME("Agent tool call: "), summary.get()}));
            return {typing(telegram, chat_id)};
        }
    } else if (equals(type.get(), RT_NAME("tool_result"))) {
        Ref data = RT_ATTR(event, "data");
        if (rt::truthy(RT_GET(data.get(), "screenshot").get()) && rt::truthy(RT_GET(data.get(), "image_base64").get())) {
            Ref image_base64 = rt::getitem(data.get(), RT_NAME("image_base64"));
            return {rt::call_method(self, RT_NAME("_send_screenshot"), image_base64, chat_id, telegram), true};
        }
    } else if (equals(type.get(), RT_NAME("error"))) {
        Ref data = RT_ATTR(event, "data");
        Ref error_msg = RT_GET_OR(data.get(), "message", RT_NAME("Unknown error"));
        append(got.response_parts, rt::format("%s%S", kWarning, error_msg.get()));
        RT_LOG_WARNING(rt::format("Agent error event: %S", error_msg.get()));
    } else if (equals(type.get(), RT_NAME("done"))) {
        RT_LOG_INFO(RT_NAME("Agent processing complete"));
    }
    return {};
}

// `async for event in agent.process_message(text)`, mirroring and
// dispatching each event.  A "done" event does not end the stream.
Co<Ref> run_stream(Arg self, Arg agent, Arg telegram, Arg chat_id, Arg text, Collected& got) {
    RT_LOG_INFO(RT_NAME("Sending message to agent for processing..."));
    Ref stream = rt::call_method(agent.get(), RT_NAME("process_message"), text);
    Ref iterator = rt::check(PyObject_GetAIter(stream.get()));
    for (;;) {
        Ref step = rt::check(Py_TYPE(iterator.get())->tp_as_async->am_anext(iterator.get()));
        auto next = co_await rt::attempt(step);
        if (next.failed()) {
            Ref e = rt::python_error(next);
            if (e && PyErr_GivenExceptionMatches(e.get(), PyExc_StopAsyncIteration)) break;
            next.get();
        }
        Ref event = next.get();
        if (Ref mirroring = broadcast_event(event.get())) {
            auto mirrored = co_await rt::attempt(mirroring);
            if (mirrored.failed()) ordinary_error(mirrored);  // ignored without a log line
        }
        Pending pending = dispatch(self.get(), event.get(), telegram.get(), chat_id.get(), got);
        if (pending.awaitable) {
            Ref result = co_await pending.awaitable;
            if (pending.screenshot && rt::truthy(result.get())) ++got.screenshots_sent;
        }
    }
    co_return rt::none();
}

// The reply text from what the stream left.
Ref compose(const Collected& got) {
    Ref joined = rt::check(PyUnicode_Join(RT_NAME("\n"), got.response_parts.get()));
    Ref final_response = rt::call_method(joined.get(), RT_NAME("strip"));
    const Py_ssize_t tools = PyList_GET_SIZE(got.tool_summaries.get());
    if (PyUnicode_GET_LENGTH(final_response.get()) == 0) {
        final_response = rt::str(tools > 0 || got.screenshots_sent != 0 ? kDone : kNoResponse);
    }
    if (tools > 0) {
        Ref shown = rt::check(PyList_GetSlice(got.tool_summaries.get(), 0, kShownTools));
        Ref actions_str = rt::check(PyUnicode_Join(RT_NAME("\n"), shown.get()));
        if (tools > kShownTools) {
            actions_str = rt::format("%U\n... and %zd more", actions_str.get(), tools - kShownTools);
        }
        final_response = rt::concat({final_response.get(), RT_NAME("\n\n\U0001F4CB Actions:\n"), actions_str.get()});
    }
    return final_response;
}

Co<Ref> handle_message_co(Arg self, Arg text, Arg metadata) {
    Ref agent = rt::call_method(self.get(), RT_NAME("_get_agent"));
    Ref telegram = rt::call_method(self.get(), RT_NAME("_get_telegram"));
    if (!rt::truthy(agent.get())) {
        RT_LOG_ERROR(RT_NAME("Agent not available for Telegram message processing"));
        co_await rt::call_method(self.get(), RT_NAME("_send_reply"), kNotInitialized, metadata);
        co_return rt::none();
    }
    if (!rt::truthy(telegram.get())) {
        RT_LOG_ERROR(RT_NAME("Telegram connector not available"));
        co_return rt::none();
    }

    // The user sees at once that the bot is working; a failure here is the
    // caller's to answer.
    Ref chat_id = RT_GET(metadata.get(), "chat_id");
    Ref indicator = typing(telegram.get(), chat_id.get());
    co_await indicator;

    auto mirrored = co_await rt::attempt(broadcast_incoming(text, metadata));
    if (mirrored.failed()) {
        Ref e = ordinary_error(mirrored);
        RT_LOG_DEBUG(rt::format("Could not broadcast to WebSocket: %S", e.get()));
    }

    Collected got;
    auto streamed = co_await rt::attempt(run_stream(self, agent, telegram, chat_id, text, got));
    if (streamed.failed()) {
        Ref e = ordinary_error(streamed);
        rt::log_exception(RT_NAME("Agent processing failed for Telegram message"), e);
        Ref message = rt::text_of(e.get());
        append(got.response_parts, rt::format("%s%U", "\u26A0\uFE0F Processing error: ", rt::head(message.get(), 300).get()));
    }

    Ref final_response = compose(got);
    RT_LOG_INFO(rt::concat({RT_NAME("Sending reply to Telegram ("), rt::integer(PyUnicode_GET_LENGTH(final_response.get())).get(), RT_NAME(" chars)")}));
    co_await rt::call_method(self.get(), RT_NAME("_send_reply"), final_response, metadata);
    co_return rt::none();
}

Ref handle_message(const Args& a) {
    return rt::coroutine(a, handle_message_co(a[0], a[1], a[2]));
}

}  // namespace

const rt::FuncDef handle_message_def{"_handle_message",
                                     "Route a Telegram message through the agent and send the response back.",
                                     kMessageParams,
                                     "None",
                                     handle_message,
                                     rt::Kind::Coroutine};

}  // namespace chatferry
