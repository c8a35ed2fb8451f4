// The usbfs side of a virtual device as the testbed sees it: its signals,
// the open files it tracks, and how replies go out (at once, or held back
// for the device's latency). The requests themselves: usbfs_requests.cpp.

#include "sim/usbfs_handler.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "sim/reply_timer.h"
#include "sim/usbfs_core.h"

namespace sovra::sim {

using usbfs::Fail;
using usbfs::Reply;

void UsbfsHandler::Core::Handle(UMockdevIoctlClient* client) {
    Pins pins;
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Reply reply = Dispatch(client, request, arg, pins);
    if (reply.latency.count() > 0) {
        Hold(client, std::move(reply), std::move(pins));
        return;
    }
    Send(client, reply);
}

void UsbfsHandler::Core::Hold(UMockdevIoctlClient* client, Reply reply, Pins pins) {
    const auto due = ReplyTimer::Clock::now() + reply.latency;
    auto h = std::make_shared<Held>(Held{GObjectRef(client), std::move(reply), std::move(pins)});
    const std::shared_ptr<ReplyTimer> timerRef = timer.lock();
    bool gone = false;
    {
        std::lock_guard lock(mu);
        // Checked under the lock Disconnect takes: a device unplugged while
        // it answered cannot leave this reply waiting out its latency.
        const auto it = clients.find(client);
        gone = it == clients.end() || it->second.generation != generation;
        if (!gone && timerRef) {
            held.push_back(h);
        }
    }
    if (gone) {
        Reply none = Fail(ENODEV);
        Send(client, none);
    } else if (!timerRef) {
        // The host is going: nothing may wait any more.
        Send(client, h->reply);
    } else {
        timerRef->Schedule(due, [core = shared_from_this(), h] { core->Release(h); });
    }
}

void UsbfsHandler::Core::Release(const std::shared_ptr<Held>& h) {
    {
        std::lock_guard lock(mu);
        if (h->sent) {
            return;
        }
        h->sent = true;
        held.erase(std::find(held.begin(), held.end(), h));
    }
    Send(h->client.get(), h->reply);
}

void UsbfsHandler::Core::Send(UMockdevIoctlClient* client, Reply& reply) {
    if (reply.completion) {
        std::lock_guard lock(mu);
        // A client gone meanwhile reaps nothing more.
        if (const auto it = clients.find(client); it != clients.end()) {
            it->second.completed.push_back(std::move(*reply.completion));
        }
    }
    umockdev_ioctl_client_complete(client, reply.result, reply.error);
}

void UsbfsHandler::Core::Disconnect() {
    std::vector<std::shared_ptr<Held>> cut;
    {
        std::lock_guard lock(mu);
        ++generation;
        // Every held reply is for a file opened before the unplug.
        cut.swap(held);
        for (const auto& h : cut) {
            h->sent = true;
        }
    }
    for (const auto& h : cut) {
        Reply none = Fail(ENODEV);
        Send(h->client.get(), none);
    }
}

namespace {

// The weak reference's callback, run by whichever thread lets go of the
// client object last, while the object still exists.
void OnClientFinalized(gpointer data, GObject* object) {
    std::unique_ptr<std::weak_ptr<UsbfsHandler::Core>> core(
        static_cast<std::weak_ptr<UsbfsHandler::Core>*>(data));
    if (const auto c = core->lock()) {
        c->Vanished(reinterpret_cast<UMockdevIoctlClient*>(object));
    }
}

}  // namespace

UsbfsHandler::Core::Client& UsbfsHandler::Core::Entry(UMockdevIoctlClient* client) {
    // A client whose connection was not announced belongs to the current
    // one.
    const auto [it, added] = clients.try_emplace(client, Client{generation, {}});
    if (added) {
        g_object_weak_ref(G_OBJECT(client), OnClientFinalized,
                          new std::weak_ptr<Core>(weak_from_this()));
    }
    return it->second;
}

void UsbfsHandler::Core::Connected(UMockdevIoctlClient* client) {
    std::lock_guard lock(mu);
    Entry(client);
}

void UsbfsHandler::Core::Vanished(UMockdevIoctlClient* client) {
    Client gone;
    std::lock_guard lock(mu);
    if (const auto it = clients.find(client); it != clients.end()) {
        gone = std::move(it->second);
        clients.erase(it);
    }
}

bool UsbfsHandler::Core::Live(UMockdevIoctlClient* client) {
    {
        std::lock_guard lock(mu);
        if (Entry(client).generation != generation) {
            return false;
        }
    }
    return model->Present();
}

namespace {

using CoreRef = std::shared_ptr<UsbfsHandler::Core>;

gboolean OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    (*static_cast<CoreRef*>(user))->Handle(client);
    return TRUE;
}

void OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    (*static_cast<CoreRef*>(user))->Connected(client);
}

void OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    (*static_cast<CoreRef*>(user))->Vanished(client);
}

void ReleaseCore(gpointer user, GClosure*) {
    std::unique_ptr<CoreRef> owned(static_cast<CoreRef*>(user));
}

// Connects a signal whose closure owns a reference to the core: GLib drops
// it when the closure goes, after any emission still running has ended.
template <class Fn>
void Connect(UMockdevIoctlBase* object, const char* signal, Fn* handler, const CoreRef& core) {
    auto ref = std::make_unique<CoreRef>(core);
    g_signal_connect_data(object, signal, reinterpret_cast<GCallback>(handler), ref.release(),
                          ReleaseCore, GConnectFlags{});
}

}  // namespace

UsbfsHandler::UsbfsHandler(std::shared_ptr<BeamformerModel> model, UsbfsAddress address,
                           std::vector<std::uint8_t> descriptors, GoneCallback onGone,
                           const std::shared_ptr<ReplyTimer>& timer)
    : core_(std::make_shared<Core>()), object_(umockdev_ioctl_base_new()) {
    core_->model = std::move(model);
    core_->address = address;
    core_->descriptors = std::move(descriptors);
    core_->onGone = std::move(onGone);
    core_->timer = timer;
    Connect(object_.get(), "handle-ioctl", OnHandleIoctl, core_);
    Connect(object_.get(), "client-connected", OnClientConnected, core_);
    Connect(object_.get(), "client-vanished", OnClientVanished, core_);
}

UsbfsHandler::~UsbfsHandler() = default;

void UsbfsHandler::Disconnect() {
    core_->Disconnect();
}

std::size_t UsbfsHandler::HeldReplies() const {
    std::lock_guard lock(core_->mu);
    return core_->held.size();
}

std::size_t UsbfsHandler::QueuedRequests() const {
    std::lock_guard lock(core_->mu);
    std::size_t n = 0;
    for (const auto& [client, state] : core_->clients) {
        n += state.completed.size();
    }
    return n;
}

}  // namespace sovra::sim
