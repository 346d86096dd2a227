#include "platform/http/HTTPSession.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>

namespace veltrane::http {
namespace {

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Body {
    CURL* easy;
    std::string data;
    std::size_t limit;
};

std::size_t collect(char* bytes, std::size_t size, std::size_t count, void* context) {
    auto& body = *static_cast<Body*>(context);
    const std::size_t n = size * count;
    if (body.data.empty()) {
        // One allocation of the announced size rather than a growing copy.
        curl_off_t length = -1;
        if (curl_easy_getinfo(body.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
            body.data.reserve(std::min<std::size_t>(static_cast<std::size_t>(length), body.limit));
    }
    // Returning less than we were given fails the transfer.
    if (body.data.size() + n > body.limit) return 0;
    body.data.append(bytes, n);
    return n;
}

bool sameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

// The share handle's caches are used by every thread's transfers; libcurl
// asks for a lock per kind of data.
struct HTTPSession::Share {
    CURLSH* handle = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Share*>(self)->locks[data].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) { static_cast<Share*>(self)->locks[data].unlock(); }
};

HTTPSession::HTTPSession(std::vector<Header> headers) : headers_(std::move(headers)), share_(new Share) {
    initialiseOnce();
    share_->handle = curl_share_init();
    if (share_->handle) {
        curl_share_setopt(share_->handle, CURLSHOPT_LOCKFUNC, &Share::lock);
        curl_share_setopt(share_->handle, CURLSHOPT_UNLOCKFUNC, &Share::unlock);
        curl_share_setopt(share_->handle, CURLSHOPT_USERDATA, share_);
        curl_share_setopt(share_->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share_->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
}

HTTPSession::~HTTPSession() {
    if (share_->handle) curl_share_cleanup(share_->handle);
    delete share_;
}

std::optional<Response> HTTPSession::get(const GetRequest& request) const {
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) return std::nullopt;
    CURL* c = easy.get();

    curl_slist* raw = nullptr;
    auto append = [&raw](const Header& h) {
        const std::string line = h.name + ": " + h.value;
        if (auto* next = curl_slist_append(raw, line.c_str())) raw = next;
    };
    for (const auto& h : headers_) {
        bool replaced = false;
        for (const auto& mine : request.headers) replaced = replaced || sameName(mine.name, h.name);
        if (!replaced) append(h);
    }
    for (const auto& h : request.headers) append(h);
    std::unique_ptr<curl_slist, ListDeleter> list(raw);

    Body body{c, {}, request.maxBodyBytes};
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
    // Time-outs without SIGALRM: names resolve on the library's own thread.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(request.timeout.count() > 0 ? request.timeout.count() : 1));
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBodyBytes));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    if (share_->handle) curl_easy_setopt(c, CURLOPT_SHARE, share_->handle);

    if (curl_easy_perform(c) != CURLE_OK) return std::nullopt;
    Response response;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
    response.body = std::move(body.data);
    return response;
}

}  // namespace veltrane::http
