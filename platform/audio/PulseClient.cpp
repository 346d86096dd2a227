#include "platform/audio/PulseClient.h"

#include <charconv>
#include <climits>

namespace veltrane::audio {

PulseError::PulseError(std::string call, int code)
    : std::runtime_error(call + " returned " + std::to_string(-code)), call_(std::move(call)), code_(code) {}

std::optional<pid_t> parseStrictPID(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > INT_MAX) return std::nullopt;
    return static_cast<pid_t>(value);
}

struct PulseClient::Loop {
    pa_threaded_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    std::function<void(std::uint32_t)> newSinkInput;  // on the loop thread only

    struct Lock {
        explicit Lock(pa_threaded_mainloop* m) : m_(m) { pa_threaded_mainloop_lock(m_); }
        ~Lock() { pa_threaded_mainloop_unlock(m_); }
        pa_threaded_mainloop* m_;
    };

    bool contextGood() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); }
    int lastError() const { return context ? pa_context_errno(context) : PA_ERR_CONNECTIONTERMINATED; }

    // With the lock held: waits for `op`, which signals the loop when done.
    void await(pa_operation* op, const char* call) {
        if (!op) throw PulseError(call, lastError());
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && contextGood())
            pa_threaded_mainloop_wait(mainloop);
        bool finished = pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        if (!finished) throw PulseError(call, lastError());
    }
};

namespace {

void signalLoop(pa_threaded_mainloop* m) { pa_threaded_mainloop_signal(m, 0); }

std::optional<std::string> property(pa_proplist* list, const char* key) {
    const char* value = list ? pa_proplist_gets(list, key) : nullptr;
    if (!value) return std::nullopt;
    return std::string(value);
}

template <class Info, class Item>
struct ListRequest {
    pa_threaded_mainloop* mainloop;
    std::vector<Item> items;
    Item (*convert)(const Info*);
    static void callback(pa_context*, const Info* info, int eol, void* self) {
        auto* request = static_cast<ListRequest*>(self);
        if (eol || !info) {
            signalLoop(request->mainloop);
            return;
        }
        request->items.push_back(request->convert(info));
    }
};

struct SuccessRequest {
    pa_threaded_mainloop* mainloop;
    bool success = false;
    static void callback(pa_context*, int success, void* self) {
        auto* request = static_cast<SuccessRequest*>(self);
        request->success = success != 0;
        signalLoop(request->mainloop);
    }
};

}  // namespace

PulseClient::PulseClient(const std::string& clientName) : loop_(std::make_shared<Loop>()) {
    loop_->mainloop = pa_threaded_mainloop_new();
    if (!loop_->mainloop) throw PulseError("pa_threaded_mainloop_new", PA_ERR_INTERNAL);
    loop_->context = pa_context_new(pa_threaded_mainloop_get_api(loop_->mainloop), clientName.c_str());
    if (!loop_->context) {
        pa_threaded_mainloop_free(loop_->mainloop);
        throw PulseError("pa_context_new", PA_ERR_INTERNAL);
    }
    Loop* raw = loop_.get();
    pa_context_set_state_callback(
        loop_->context, [](pa_context*, void* self) { signalLoop(static_cast<Loop*>(self)->mainloop); }, raw);
    pa_context_set_subscribe_callback(
        loop_->context,
        [](pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* self) {
            auto* loop = static_cast<Loop*>(self);
            if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK_INPUT &&
                (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_NEW && loop->newSinkInput)
                loop->newSinkInput(index);
        },
        raw);
    int failure = 0;
    const char* call = nullptr;
    if (pa_context_connect(loop_->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        failure = pa_context_errno(loop_->context);
        call = "pa_context_connect";
    } else if (pa_threaded_mainloop_start(loop_->mainloop) < 0) {
        failure = PA_ERR_INTERNAL;
        call = "pa_threaded_mainloop_start";
    } else {
        Loop::Lock lock(loop_->mainloop);
        for (;;) {
            auto state = pa_context_get_state(loop_->context);
            if (state == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                failure = pa_context_errno(loop_->context);
                call = "pa_context_connect";
                break;
            }
            pa_threaded_mainloop_wait(loop_->mainloop);
        }
    }
    if (call) {
        pa_threaded_mainloop_stop(loop_->mainloop);
        pa_context_disconnect(loop_->context);
        pa_context_unref(loop_->context);
        pa_threaded_mainloop_free(loop_->mainloop);
        throw PulseError(call, failure ? failure : PA_ERR_CONNECTIONREFUSED);
    }
}

PulseClient::~PulseClient() {
    {
        Loop::Lock lock(loop_->mainloop);
        pa_context_set_subscribe_callback(loop_->context, nullptr, nullptr);
        pa_context_disconnect(loop_->context);
    }
    pa_threaded_mainloop_stop(loop_->mainloop);
    pa_context_unref(loop_->context);
    pa_threaded_mainloop_free(loop_->mainloop);
}

std::vector<PulseClientInfo> PulseClient::clients() {
    ListRequest<pa_client_info, PulseClientInfo> request{loop_->mainloop, {}, [](const pa_client_info* info) {
        PulseClientInfo item;
        item.index = info->index;
        if (auto pid = property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID)) item.pid = parseStrictPID(*pid);
        item.applicationID = property(info->proplist, PA_PROP_APPLICATION_ID);
        return item;
    }};
    Loop::Lock lock(loop_->mainloop);
    loop_->await(pa_context_get_client_info_list(loop_->context, decltype(request)::callback, &request),
                 "pa_context_get_client_info_list");
    return std::move(request.items);
}

std::vector<PulseSinkInputInfo> PulseClient::sinkInputs() {
    ListRequest<pa_sink_input_info, PulseSinkInputInfo> request{
        loop_->mainloop, {}, [](const pa_sink_input_info* info) {
            return PulseSinkInputInfo{info->index, info->client, info->sink, info->owner_module, info->sample_spec};
        }};
    Loop::Lock lock(loop_->mainloop);
    loop_->await(pa_context_get_sink_input_info_list(loop_->context, decltype(request)::callback, &request),
                 "pa_context_get_sink_input_info_list");
    return std::move(request.items);
}

std::vector<PulseSinkInfo> PulseClient::sinks() {
    ListRequest<pa_sink_info, PulseSinkInfo> request{loop_->mainloop, {}, [](const pa_sink_info* info) {
        PulseSinkInfo item;
        item.index = info->index;
        item.name = info->name ? info->name : "";
        item.monitorSource = info->monitor_source_name ? info->monitor_source_name : "";
        item.ownerModule = info->owner_module;
        void* state = nullptr;
        while (const char* key = pa_proplist_iterate(info->proplist, &state))
            if (auto value = property(info->proplist, key)) item.properties[key] = *value;
        return item;
    }};
    Loop::Lock lock(loop_->mainloop);
    loop_->await(pa_context_get_sink_info_list(loop_->context, decltype(request)::callback, &request),
                 "pa_context_get_sink_info_list");
    return std::move(request.items);
}

std::vector<PulseModuleInfo> PulseClient::modules() {
    ListRequest<pa_module_info, PulseModuleInfo> request{loop_->mainloop, {}, [](const pa_module_info* info) {
        return PulseModuleInfo{info->index, info->name ? info->name : "", info->argument ? info->argument : ""};
    }};
    Loop::Lock lock(loop_->mainloop);
    loop_->await(pa_context_get_module_info_list(loop_->context, decltype(request)::callback, &request),
                 "pa_context_get_module_info_list");
    return std::move(request.items);
}

std::string PulseClient::defaultSinkName() {
    struct Request {
        pa_threaded_mainloop* mainloop;
        std::string name;
    } request{loop_->mainloop, {}};
    Loop::Lock lock(loop_->mainloop);
    loop_->await(pa_context_get_server_info(
                     loop_->context,
                     [](pa_context*, const pa_server_info* info, void* self) {
                         auto* r = static_cast<Request*>(self);
                         if (info && info->default_sink_name) r->name = info->default_sink_name;
                         signalLoop(r->mainloop);
                     },
                     &request),
                 "pa_context_get_server_info");
    return request.name;
}

std::uint32_t PulseClient::loadModule(const std::string& name, const std::string& argument) {
    struct Request {
        pa_threaded_mainloop* mainloop;
        std::uint32_t index = PA_INVALID_INDEX;
    } request{loop_->mainloop};
    Loop::Lock lock(loop_->mainloop);
    loop_->await(pa_context_load_module(
                     loop_->context, name.c_str(), argument.c_str(),
                     [](pa_context*, std::uint32_t index, void* self) {
                         auto* r = static_cast<Request*>(self);
                         r->index = index;
                         signalLoop(r->mainloop);
                     },
                     &request),
                 "pa_context_load_module");
    if (request.index == PA_INVALID_INDEX) throw PulseError("pa_context_load_module", loop_->lastError());
    return request.index;
}

void PulseClient::unloadModule(std::uint32_t index) {
    SuccessRequest request{loop_->mainloop};
    Loop::Lock lock(loop_->mainloop);
    loop_->await(pa_context_unload_module(loop_->context, index, SuccessRequest::callback, &request),
                 "pa_context_unload_module");
    if (!request.success) throw PulseError("pa_context_unload_module", loop_->lastError());
}

void PulseClient::moveSinkInput(std::uint32_t sinkInput, std::uint32_t sink) {
    SuccessRequest request{loop_->mainloop};
    Loop::Lock lock(loop_->mainloop);
    loop_->await(pa_context_move_sink_input_by_index(loop_->context, sinkInput, sink, SuccessRequest::callback, &request),
                 "pa_context_move_sink_input_by_index");
    if (!request.success) throw PulseError("pa_context_move_sink_input_by_index", loop_->lastError());
}

void PulseClient::onNewSinkInput(std::function<void(std::uint32_t)> handler) {
    SuccessRequest request{loop_->mainloop};
    Loop::Lock lock(loop_->mainloop);
    loop_->newSinkInput = std::move(handler);
    loop_->await(pa_context_subscribe(loop_->context, PA_SUBSCRIPTION_MASK_SINK_INPUT, SuccessRequest::callback, &request),
                 "pa_context_subscribe");
    if (!request.success) throw PulseError("pa_context_subscribe", loop_->lastError());
}

std::unique_ptr<PulseClient::Recording> PulseClient::record(const std::string& source, const pa_sample_spec& sampleFormat,
                                                            std::uint32_t fragmentBytes,
                                                            std::optional<std::uint32_t> monitoredSinkInput,
                                                            std::function<void(const void*, std::size_t)> onData) {
    std::unique_ptr<Recording> recording(new Recording());
    recording->loop_ = loop_;
    recording->onData_ = std::move(onData);
    Loop::Lock lock(loop_->mainloop);
    recording->stream_ = pa_stream_new(loop_->context, "Veltrane Application Audio", &sampleFormat, nullptr);
    if (!recording->stream_) throw PulseError("pa_stream_new", loop_->lastError());
    pa_stream_set_state_callback(
        recording->stream_, [](pa_stream*, void* self) { signalLoop(static_cast<Loop*>(self)->mainloop); },
        loop_.get());
    pa_stream_set_read_callback(recording->stream_, Recording::onRead, recording.get());
    if (monitoredSinkInput && pa_stream_set_monitor_stream(recording->stream_, *monitoredSinkInput) < 0)
        throw PulseError("pa_stream_set_monitor_stream", loop_->lastError());
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = fragmentBytes;
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(recording->stream_, source.c_str(), &attributes, flags) < 0)
        throw PulseError("pa_stream_connect_record", loop_->lastError());
    for (;;) {
        auto state = pa_stream_get_state(recording->stream_);
        if (state == PA_STREAM_READY) break;
        if (!PA_STREAM_IS_GOOD(state)) throw PulseError("pa_stream_connect_record", loop_->lastError());
        pa_threaded_mainloop_wait(loop_->mainloop);
    }
    recording->sampleFormat_ = *pa_stream_get_sample_spec(recording->stream_);
    return recording;
}

// What one wake-up finds is handed on as one piece: a piece per server chunk
// would multiply the work downstream for nothing.
void PulseClient::Recording::onRead(pa_stream* stream, std::size_t, void* self) {
    auto* recording = static_cast<Recording*>(self);
    recording->scratch_.clear();
    const void* data = nullptr;
    std::size_t bytes = 0;
    bool gathered = false;
    while (pa_stream_readable_size(stream) > 0) {
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
        if (!gathered && recording->scratch_.empty() && pa_stream_readable_size(stream) == bytes) {
            recording->onData_(data, bytes);
            pa_stream_drop(stream);
            return;
        }
        gathered = true;
        const auto* from = static_cast<const std::uint8_t*>(data);
        if (from)
            recording->scratch_.insert(recording->scratch_.end(), from, from + bytes);
        else
            recording->scratch_.resize(recording->scratch_.size() + bytes, 0);
        pa_stream_drop(stream);
    }
    if (!recording->scratch_.empty()) recording->onData_(recording->scratch_.data(), recording->scratch_.size());
}

PulseClient::Recording::~Recording() {
    if (!stream_) return;
    Loop::Lock lock(loop_->mainloop);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
}

}  // namespace veltrane::audio
