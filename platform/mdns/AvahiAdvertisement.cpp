#include "platform/mdns/AvahiAdvertisement.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

namespace veltrane::mdns {

namespace {

AvahiStringList* toStringList(const std::map<std::string, std::string>& txt) {
    AvahiStringList* list = nullptr;
    for (const auto& [key, value] : txt) list = avahi_string_list_add_pair(list, key.c_str(), value.c_str());
    return list;
}

// Everything below runs on Avahi's own poll thread, or under its lock.
class AvahiAdvertisement final : public Advertisement {
public:
    AvahiAdvertisement(ServiceRecord service, LogSink log) : service_(std::move(service)), log_(std::move(log)) {}

    ~AvahiAdvertisement() override {
        if (poll_) avahi_threaded_poll_stop(poll_);
        if (client_) avahi_client_free(client_);  // also frees the entry group
        if (poll_) avahi_threaded_poll_free(poll_);
        avahi_free(name_);
    }

    bool begin() {
        poll_ = avahi_threaded_poll_new();
        if (!poll_) {
            log("service advertising unavailable: no memory for the Avahi client");
            return false;
        }
        int error = 0;
        // Without AVAHI_CLIENT_NO_FAIL a missing daemon fails here, at once.
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), &clientChanged, this, &error);
        if (!client_) {
            log(std::string("service advertising unavailable (avahi-daemon not reachable: ") + avahi_strerror(error) +
                "); serving without it");
            return false;
        }
        if (avahi_threaded_poll_start(poll_) < 0) {
            log("service advertising unavailable: the Avahi thread did not start");
            return false;
        }
        return true;
    }

    void updateTXT(std::map<std::string, std::string> txt) override {
        avahi_threaded_poll_lock(poll_);
        service_.txt = std::move(txt);
        if (group_ && !avahi_entry_group_is_empty(group_)) {
            AvahiStringList* list = toStringList(*service_.txt);
            int rc = avahi_entry_group_update_service_txt_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                                 AvahiPublishFlags(0), name_,
                                                                 service_.type.c_str(), nullptr, list);
            avahi_string_list_free(list);
            if (rc < 0) log(std::string("could not update the advertised TXT record: ") + avahi_strerror(rc));
        }
        avahi_threaded_poll_unlock(poll_);
    }

private:
    void log(const std::string& line) const {
        if (log_) log_(line);
    }

    static void clientChanged(AvahiClient* client, AvahiClientState state, void* context) {
        auto* self = static_cast<AvahiAdvertisement*>(context);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->publish(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name is being (re)registered; publish again once running.
            if (self->group_) avahi_entry_group_reset(self->group_);
            break;
        case AVAHI_CLIENT_FAILURE:
            self->log(std::string("service advertising stopped: ") + avahi_strerror(avahi_client_errno(client)));
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
        }
    }

    static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
        auto* self = static_cast<AvahiAdvertisement*>(context);
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            // Another host announces this name: take the next free one, as
            // the peers' browsers expect of a DNS-SD service.
            char* next = avahi_alternative_service_name(self->name_);
            avahi_free(self->name_);
            self->name_ = next;
            avahi_entry_group_reset(group);
            self->publish(avahi_entry_group_get_client(group));
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            self->log(std::string("service advertising failed: ") +
                      avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        }
    }

    void publish(AvahiClient* client) {
        if (!name_) {
            // Chosen here: the client first calls back from inside avahi_client_new.
            const char* computer = service_.name.empty() ? avahi_client_get_host_name(client) : nullptr;
            name_ = avahi_strdup(instanceName(computer ? computer : service_.name).c_str());
        }
        if (!group_) {
            group_ = avahi_entry_group_new(client, &groupChanged, this);
            if (!group_) {
                log(std::string("service advertising failed: ") + avahi_strerror(avahi_client_errno(client)));
                return;
            }
        }
        if (!avahi_entry_group_is_empty(group_)) return;
        AvahiStringList* list = service_.txt ? toStringList(*service_.txt) : nullptr;
        int rc = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                      AvahiPublishFlags(0), name_, service_.type.c_str(), nullptr,
                                                      nullptr, service_.port, list);
        avahi_string_list_free(list);
        if (rc == AVAHI_ERR_COLLISION) {
            char* next = avahi_alternative_service_name(name_);
            avahi_free(name_);
            name_ = next;
            publish(client);
            return;
        }
        if (rc >= 0) rc = avahi_entry_group_commit(group_);
        if (rc < 0) log(std::string("service advertising failed: ") + avahi_strerror(rc));
    }

    ServiceRecord service_;
    LogSink log_;
    char* name_ = nullptr;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
};

}  // namespace

std::string instanceName(std::string_view name) {
    if (name.size() <= kMaxInstanceNameBytes) return std::string(name);
    std::size_t cut = kMaxInstanceNameBytes;
    // Back over continuation bytes to the start of the sequence that would be split.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return std::string(name.substr(0, cut));
}

std::unique_ptr<Advertisement> advertiseWithAvahi(const ServiceRecord& service, const LogSink& log) {
    auto advertisement = std::make_unique<AvahiAdvertisement>(service, log);
    if (!advertisement->begin()) return nullptr;
    return advertisement;
}

}  // namespace veltrane::mdns
