// The usbfs side of a virtual device as the testbed sees it: its signals,
// the open files it tracks and which of them holds the interface, and how
// replies go out (at once, or held back for the device's latency). The
// requests themselves: usbfs_requests.cpp; URBs: usbfs_urbs.cpp.

#include "sim/usbfs_handler.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "sim/usbfs_core.h"

namespace sovra::sim {

void UsbfsHandler::Core::Handle(UMockdevIoctlClient* client) {
    Pins pins;
    Reply reply = Dispatch(client, umockdev_ioctl_client_get_request(client),
                           umockdev_ioctl_client_get_arg(client), pins);
    if (reply.latency.count() > 0 && !reply.deferred) {
        Hold(client, std::move(reply), std::move(pins));
    } else if (!reply.deferred) {
        Send(client, reply);
    }
}

void UsbfsHandler::Core::After(ReplyTimer::Clock::time_point due, ReplyTimer::Job job) {
    if (const std::shared_ptr<ReplyTimer> t = timer.lock()) {
        t->Schedule(due, std::move(job));
    } else {
        job();
    }
}

void UsbfsHandler::Core::Hold(UMockdevIoctlClient* client, Reply reply, Pins pins) {
    const auto due = ReplyTimer::Clock::now() + reply.latency;
    auto h = std::make_shared<Waiting>(Waiting{GObjectRef(client), std::move(pins), reply});
    bool live = false;
    {
        std::lock_guard lock(mu);
        // Checked under the lock Disconnect takes: a device unplugged while
        // it answered cannot leave this reply waiting out its latency.
        const auto it = clients.find(client);
        live = it != clients.end() && it->second.generation == generation;
        if (live) {
            held.push_back(h);
        }
    }
    if (live) {
        After(due, [core = shared_from_this(), h] { core->Release(h); });
    } else {
        Send(client, Fail(ENODEV));
    }
}

void UsbfsHandler::Core::Release(const WaitingRef& h) {
    {
        std::lock_guard lock(mu);
        if (h->answered) {
            return;
        }
        h->answered = true;
        held.erase(std::find(held.begin(), held.end(), h));
    }
    Send(h->client.get(), h->reply);
}

void UsbfsHandler::Core::Send(UMockdevIoctlClient* client, const Reply& reply) {
    umockdev_ioctl_client_complete(client, reply.result, reply.error);
}

bool UsbfsHandler::Core::ClaimedByOther(UMockdevIoctlClient* client) const {
    return std::any_of(clients.begin(), clients.end(), [&](const auto& other) {
        return other.first != client && other.second.claimed &&
               other.second.generation == generation;
    });
}

Reply UsbfsHandler::Core::Claim(UMockdevIoctlClient* client, std::uint32_t interface, Pins& pins) {
    if (interface != kInterfaceNumber) {
        return Fail(ENOENT);
    }
    {
        std::lock_guard lock(mu);
        Client& c = Entry(client);
        if (c.claimed || !ClaimedByOther(client)) {
            c.claimed = true;
            return Ok();
        }
    }
    return DeferClaim(client, pins);
}

namespace {

struct PendingClaim {
    std::shared_ptr<UsbfsHandler::Core> core;
    GObjectPtr<UMockdevIoctlClient> client;
    UsbfsHandler::Core::Pins pins;
    int turns = 0;
};

gboolean RetryClaim(gpointer data) {
    auto* p = static_cast<PendingClaim*>(data);
    Reply reply;
    {
        std::lock_guard lock(p->core->mu);
        UsbfsHandler::Core::Client& c = p->core->Entry(p->client.get());
        if (c.generation != p->core->generation) {
            reply = Fail(ENODEV);
        } else if (!p->core->ClaimedByOther(p->client.get())) {
            c.claimed = true;
        } else if (++p->turns < kClaimTurns) {
            return G_SOURCE_CONTINUE;
        } else {
            reply = Fail(EBUSY);
        }
    }
    p->core->Send(p->client.get(), reply);
    return G_SOURCE_REMOVE;
}

void FreePendingClaim(gpointer data) {
    std::unique_ptr<PendingClaim> owned(static_cast<PendingClaim*>(data));
}

}  // namespace

Reply UsbfsHandler::Core::DeferClaim(UMockdevIoctlClient* client, Pins& pins) {
    // The kernel lets go of a file's claim as the file is closed; the
    // testbed learns of a closed file only on a later turn of its loop.
    // So the answer waits for the loop's quiet turns, which come after it
    // has dealt with every file closed before this claim; a holder still
    // there then is another program, and the claim is refused.
    auto* pending = new PendingClaim{shared_from_this(), GObjectRef(client), std::move(pins)};
    GMainContext* context = g_main_context_ref_thread_default();
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_LOW);
    g_source_set_callback(source, RetryClaim, pending, FreePendingClaim);
    g_source_attach(source, context);
    g_source_unref(source);
    g_main_context_unref(context);
    return Deferred();
}

Reply UsbfsHandler::Core::ReleaseClaim(UMockdevIoctlClient* client, std::uint32_t interface) {
    std::lock_guard lock(mu);
    Client& c = Entry(client);
    if (interface != kInterfaceNumber || !c.claimed) {
        return Fail(EINVAL);
    }
    c.claimed = false;
    return Ok();
}

void UsbfsHandler::Core::Disconnect() {
    std::vector<WaitingRef> cut;
    std::vector<Delivery> out;
    {
        std::lock_guard lock(mu);
        ++generation;
        // Every held reply is for a file opened before the unplug.
        cut.swap(held);
        for (const auto& h : cut) {
            h->answered = true;
        }
        // URBs in flight end as the kernel ends them when a device goes;
        // the program can still reap them. The interface goes with the
        // device, and so does every claim on it.
        for (auto& [client, c] : clients) {
            for (Completion& urb : c.inFlight) {
                urb.Cancel(-ESHUTDOWN);
                c.completed.push_back(std::move(urb));
            }
            c.inFlight.clear();
            c.claimed = false;
            TakeDeliveries(c, out);
        }
    }
    for (const auto& h : cut) {
        Send(h->client.get(), Fail(ENODEV));
    }
    Deliver(out);
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
    const auto [it, added] = clients.try_emplace(client);
    if (added) {
        it->second.generation = generation;
        g_object_weak_ref(G_OBJECT(client), OnClientFinalized,
                          new std::weak_ptr<Core>(weak_from_this()));
    }
    return it->second;
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
    const CoreRef& core = *static_cast<CoreRef*>(user);
    std::lock_guard lock(core->mu);
    core->Entry(client);
}

void OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    (*static_cast<CoreRef*>(user))->Vanished(client);
}

// Connects a signal whose closure owns a reference to the core: GLib drops
// it when the closure goes, after any emission still running has ended.
template <class Fn>
void Connect(UMockdevIoctlBase* object, const char* signal, Fn* handler, const CoreRef& core) {
    g_signal_connect_data(
        object, signal, reinterpret_cast<GCallback>(handler), new CoreRef(core),
        [](gpointer user, GClosure*) { delete static_cast<CoreRef*>(user); }, GConnectFlags{});
}

}  // namespace

UsbfsHandler::UsbfsHandler(std::shared_ptr<BeamformerModel> model, UsbfsAddress address, UsbIds ids,
                           GoneCallback onGone, const std::shared_ptr<ReplyTimer>& timer)
    : core_(std::make_shared<Core>()), object_(umockdev_ioctl_base_new()) {
    core_->model = std::move(model);
    core_->address = address;
    core_->descriptors = BuildDescriptors(ids);
    core_->ids = std::move(ids);
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

std::size_t UsbfsHandler::RequestsInFlight() const {
    std::lock_guard lock(core_->mu);
    std::size_t n = core_->held.size();
    for (const auto& [client, state] : core_->clients) {
        n += state.inFlight.size();
    }
    return n;
}

}  // namespace sovra::sim
