// The bridge object's construction, its two look-ups into the host's server
// state, and the two coroutines that deliver output to a Telegram chat.
#include "chatferry.hpp"

namespace chatferry {

namespace {

const Param screenshot_params[] = {
    {"self"},
    {"image_base64", "str", Check::Str},
    {"chat_id", "str | int | None"},
    {"telegram", "Any"},
};

// ---- construction --------------------------------------------------------

Ref init(const Args& a) {
    PyObject* self = a[0];
    rt::setattr(self, RT_NAME("_running"), false);
    rt::setattr(self, RT_NAME("_processing"), false);
    Ref asyncio = RT_GLOBAL("asyncio");
    rt::setattr(self, RT_NAME("_queue"), RT_CALL_MODULE_ATTR(asyncio.get(), "Queue"));
    rt::setattr(self, RT_NAME("_worker_task"), rt::none());
    return rt::none();
}

// ---- look-ups ------------------------------------------------------------

// The server state, fetched afresh from the host on every call.
Ref server_state() {
    Ref get_state = IMPORT_NAME("tovana.gateway.server", "get_state");
    return rt::call(get_state.get());
}

Ref find_telegram() {
    Ref state = server_state();
    Ref connector_mgr = RT_GET(state.get(), "connector_manager");
    if (!rt::truthy(connector_mgr.get())) return rt::none();
    Ref telegram = RT_GET(connector_mgr.get(), "telegram");
    if (rt::truthy(telegram.get()) && rt::truthy(RT_ATTR(telegram.get(), "is_configured").get())) {
        return telegram;
    }
    return rt::none();
}

Ref get_telegram(const Args&) {
    try {
        return find_telegram();
    } catch (rt::PyException& e) {
        if (!e.is_ordinary()) throw;
        RT_LOG_ERROR(rt::format("Failed to get Telegram connector: %S", e.value()));
        return rt::none();
    }
}

Ref get_agent(const Args&) {
    try {
        Ref state = server_state();
        return RT_GET(state.get(), "agent");
    } catch (rt::PyException& e) {
        if (!e.is_ordinary()) throw;
        RT_LOG_ERROR(rt::format("Failed to get agent: %S", e.value()));
        return rt::none();
    }
}

// ---- text replies --------------------------------------------------------

// Exceptions from the connector pass to the awaiting caller unlogged.
Co<Ref> send_reply_co(Arg self, Arg text, Arg metadata) {
    Ref telegram = rt::call_method(self.get(), RT_NAME("_get_telegram"));
    if (!rt::truthy(telegram.get())) {
        RT_LOG_ERROR(RT_NAME("Cannot send reply \u2014 Telegram connector not available"));
        co_return rt::none();
    }
    Ref chat_id = RT_GET(metadata.get(), "chat_id");
    if (!rt::truthy(chat_id.get())) chat_id = RT_ATTR(telegram.get(), "_chat_id");
    if (!rt::truthy(chat_id.get())) {
        RT_LOG_ERROR(RT_NAME("Cannot send reply \u2014 no chat_id"));
        co_return rt::none();
    }
    Ref sending = rt::call_method_kw(telegram.get(), RT_NAME("send_message"), RT_KW("chat_id,parse_mode"), {text},
                                     {chat_id, Ref::borrow(RT_NAME(""))});
    Ref result = co_await sending;
    if (rt::truthy(RT_GET(result.get(), "success").get())) {
        RT_LOG_INFO(rt::concat({RT_NAME("Reply sent to Telegram (msg_ids="), RT_GET(result.get(), "message_ids").get(), RT_NAME(")")}));
    } else {
        RT_LOG_ERROR(rt::format("Failed to send Telegram reply: %S", RT_GET(result.get(), "message").get()));
    }
    co_return rt::none();
}

Ref send_reply(const Args& a) {
    return rt::coroutine(a, send_reply_co(a[0], a[1], a[2]));
}

// ---- screenshots ---------------------------------------------------------

// Remove the file at `path` if it is still there: Path(path).unlink(missing_ok=True).
void remove_file(const Ref& path) {
    Ref path_cls = RT_GLOBAL("Path");
    Ref p = rt::call(path_cls.get(), path);
    Ref unlink = rt::getattr(p.get(), RT_NAME("unlink"));
    rt::call_kw(unlink.get(), RT_KW("missing_ok"), {}, {rt::boolean(true)});
}

// Write the image to a new temporary ".png" file (closed again, left on
// disk) and return its path.  A file that was created but could not be
// written is removed before the failure goes on.
Ref write_temp_png(const Ref& img_bytes) {
    Ref tempfile = RT_GLOBAL("tempfile");
    Ref factory = rt::getattr(tempfile.get(), RT_NAME("NamedTemporaryFile"));
    Ref manager = rt::call_kw(factory.get(), RT_KW("suffix,delete"), {}, {Ref::borrow(RT_NAME(".png")), rt::boolean(false)});
    // with manager as tmp: tmp.write(img_bytes); tmp_path = tmp.name
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(manager.get())));
    Ref exit;
    try {
        Ref enter = rt::getattr(type.get(), RT_NAME("__enter__"));
        exit = rt::getattr(type.get(), RT_NAME("__exit__"));
        Ref tmp = rt::call(enter.get(), manager);
        rt::call_method(tmp.get(), RT_NAME("write"), img_bytes);
        Ref tmp_path = rt::getattr(tmp.get(), RT_NAME("name"));
        Ref closing = std::move(exit);
        rt::call(closing.get(), manager, rt::none(), rt::none(), rt::none());
        return tmp_path;
    } catch (rt::PyException& e) {
        if (exit) {
            Ref exc = e.ref();
            Ref exc_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
            Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
            try {
                rt::call(exit.get(), manager, exc_type, exc, tb ? tb : rt::none());
            } catch (rt::PyException&) {
                // The write failure is the one reported.
            }
        }
        // Leave nothing behind: the file exists although its writing failed.
        if (Ref name = rt::getattr_opt(manager.get(), RT_NAME("name")); name && !name.is_none()) {
            try {
                remove_file(name);
            } catch (rt::PyException& cleanup) {
                if (!cleanup.is_ordinary()) throw;
            }
        }
        throw;
    }
}

// One send_photo call and its report; True only on reported success.
Co<Ref> deliver_photo(Arg path, Arg chat_id, Arg telegram) {
    Ref sending = rt::call_method_kw(telegram.get(), RT_NAME("send_photo"), RT_KW("caption,chat_id"), {path},
                                     {Ref::borrow(RT_NAME("\U0001F4F8 Screenshot")), chat_id});
    Ref result = co_await sending;
    if (rt::truthy(RT_GET(result.get(), "success").get())) {
        RT_LOG_INFO(RT_NAME("Screenshot sent to Telegram"));
        co_return rt::boolean(true);
    }
    RT_LOG_WARNING(rt::format("Failed to send screenshot to Telegram: %S", RT_GET(result.get(), "message").get()));
    co_return rt::boolean(false);
}

Co<Ref> screenshot_body(Arg image_base64, Arg chat_id, Arg telegram) {
    Ref base64 = RT_GLOBAL("base64");
    Ref img_bytes = RT_CALL_MODULE_ATTR(base64.get(), "b64decode", image_base64);
    Ref tmp_path = write_temp_png(img_bytes);
    auto sent = co_await rt::attempt(deliver_photo(tmp_path, chat_id, telegram));
    // The file goes on every path, cancellation included.  A failing removal
    // takes over from whatever the sending ended with, as in a `finally`.
    try {
        remove_file(tmp_path);
    } catch (rt::PyException& e) {
        if (Ref earlier = rt::python_error(sent)) {
            PyException_SetContext(e.value(), earlier.release());
        }
        throw;
    }
    co_return sent.get();
}

Co<Ref> send_screenshot_co(Arg image_base64, Arg chat_id, Arg telegram) {
    auto out = co_await rt::attempt(screenshot_body(image_base64, chat_id, telegram));
    if (!out.failed()) co_return out.get();
    Ref e = ordinary_error(out);
    RT_LOG_ERROR(rt::format("Failed to send screenshot to Telegram: %S", e.get()));
    co_return rt::boolean(false);
}

Ref send_screenshot(const Args& a) {
    return rt::coroutine(a, send_screenshot_co(a[1], a[2], a[3]));
}

}  // namespace

const rt::FuncDef init_def{"__init__", nullptr, kSelfOnly, "None", init};
const rt::FuncDef get_telegram_def{"_get_telegram", "Get the Telegram connector from the server state.", kSelfOnly,
                                   nullptr, get_telegram};
const rt::FuncDef get_agent_def{"_get_agent", "Get the Tovana agent from the server state.", kSelfOnly, nullptr,
                                get_agent};
const rt::FuncDef send_reply_def{"_send_reply", "Send a reply back to the Telegram user.", kMessageParams, "None",
                                 send_reply, rt::Kind::Coroutine};
const rt::FuncDef send_screenshot_def{"_send_screenshot",
                                      "Decode a base64 screenshot and send it as a photo to Telegram.",
                                      screenshot_params,
                                      "bool",
                                      send_screenshot,
                                      rt::Kind::Coroutine};

}  // namespace chatferry
