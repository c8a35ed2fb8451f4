#include "sim/usbfs_handler.h"

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "sim/reply_timer.h"
#include "sim/usb_descriptors.h"

namespace sovra::sim {
namespace {

// The kernel structures of the ioctl interface are in the host's native
// layout (the client is a process on this machine), so their fields are
// read and written at their offsetof positions; the setup packet, which is
// USB wire format, is decoded byte by byte, little endian.
template <class T>
bool ReadNative(const UMockdevIoctlData* data, std::size_t offset, T& value) {
    if (data->data_len < 0 || static_cast<std::size_t>(data->data_len) < offset + sizeof(T)) {
        return false;
    }
    std::memcpy(&value, data->data + offset, sizeof(T));
    return true;
}

template <class T>
bool WriteNative(UMockdevIoctlData* data, std::size_t offset, T value) {
    if (data->data_len < 0 || static_cast<std::size_t>(data->data_len) < offset + sizeof(T)) {
        return false;
    }
    std::memcpy(data->data + offset, &value, sizeof(T));
    return true;
}

std::size_t Length(const UMockdevIoctlData* data) {
    return data->data_len < 0 ? 0 : static_cast<std::size_t>(data->data_len);
}

// A URB the device has answered, until the program reaps it. As with the
// kernel, the answer (status, length, an IN request's data) reaches the
// program's memory when it reaps the URB, not before: each piece of that
// memory is written back once, where writing it at submission too would
// cost every request a second copy.
struct Completion {
    // The references keep the client memory mapping umockdev made.
    GObjectPtr<UMockdevIoctlData> urb;
    GObjectPtr<UMockdevIoctlData> buffer;  // setup packet and data stage
    int status = 0;
    int actual = 0;
    std::vector<std::uint8_t> in;  // an IN request's data stage
};

struct Reply {
    long result = 0;
    int error = 0;
    // How long the device takes to give it. The client waits in its ioctl
    // meanwhile, while the testbed's thread goes on serving other devices.
    std::chrono::microseconds latency{0};
    // A submitted URB, which becomes reapable when the reply goes out.
    std::optional<Completion> completion;
};

Reply Ok(long result = 0) {
    Reply r;
    r.result = result;
    return r;
}
Reply Fail(int error) {
    Reply r;
    r.result = -1;
    r.error = error;
    return r;
}

struct TransferResult {
    Answer answer = Answer::Ok;
    std::size_t actual = 0;  // bytes of the data stage moved
    std::chrono::microseconds latency{0};
};

constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_CONNINFO_EX;

constexpr std::uint32_t kSpeedHigh = USB_SPEED_HIGH;

bool IsConnInfoEx(gulong request) {
    return _IOC_TYPE(request) == 'U' && _IOC_NR(request) == 32 && _IOC_DIR(request) == _IOC_READ;
}

}  // namespace

struct UsbfsHandler::Core : std::enable_shared_from_this<Core> {
    std::shared_ptr<BeamformerModel> model;
    UsbfsAddress address;
    std::vector<std::uint8_t> descriptors;
    GoneCallback onGone;
    // Not an owner: a job of the timer holds the core, and must not end up
    // holding the timer's last owner.
    std::weak_ptr<ReplyTimer> timer;

    // One open file of the device node.
    struct Client {
        // The connection it was opened on: a file opened before an unplug
        // stays dead after the replug, as on a real bus.
        std::uint64_t generation = 0;
        // Completed URBs in submission order, until reaped.
        std::deque<Completion> completed;
    };

    mutable std::mutex mu;
    std::uint64_t generation = 0;
    // By the client object's address, for as long as the object lives: the
    // testbed gives a later file the address of a closed one, and what the
    // closed file left (URBs pointing into its memory, its connection) must
    // not pass to the new one. The testbed never says that a client has
    // gone, so the object itself tells (a weak reference).
    std::map<UMockdevIoctlClient*, Client> clients;

    // References that must outlive the reply: umockdev writes resolved
    // memory back to the client when the ioctl completes.
    struct Pins {
        std::vector<GObjectPtr<UMockdevIoctlData>> data;
        UMockdevIoctlData* Keep(UMockdevIoctlData* d) {
            data.emplace_back(d);
            return d;
        }
    };

    // A reply held back for the device's latency, with everything it needs
    // when it goes out: the client (whose object umockdev would otherwise
    // drop once the handler returns) and the memory it writes back.
    struct Held {
        GObjectPtr<UMockdevIoctlClient> client;
        Reply reply;
        Pins pins;
        bool sent = false;  // guarded by mu
    };
    // Held replies in arrival order; an unplug sends them at once. The
    // last owner of a Held lets go of it outside mu: its client reference
    // may be the object's last, and the object's end takes mu.
    std::vector<std::shared_ptr<Held>> held;

    void Handle(UMockdevIoctlClient* client);
    void Hold(UMockdevIoctlClient* client, Reply reply, Pins pins);
    void Release(const std::shared_ptr<Held>& h);
    void Send(UMockdevIoctlClient* client, Reply& reply);
    void Disconnect();
    void Connected(UMockdevIoctlClient* client);
    void Vanished(UMockdevIoctlClient* client);
    // The client's state, made the first time it is asked for. Called with
    // mu held.
    Client& Entry(UMockdevIoctlClient* client);
    // Whether the device still answers this client.
    bool Live(UMockdevIoctlClient* client);

    Reply Dispatch(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg, Pins& pins);
    Reply SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins);
    Reply ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins);
    Reply Control(UMockdevIoctlData* arg, Pins& pins);
    Reply ConnInfoEx(gulong request, UMockdevIoctlData* arg, Pins& pins);
    Reply ConnectInfo(UMockdevIoctlData* arg, Pins& pins);

    TransferResult Transfer(const ControlSetup& setup, std::span<std::uint8_t> data);
    TransferResult Standard(const ControlSetup& setup, std::span<std::uint8_t> data) const;
};

namespace {

// Resolves the pointer at `offset` of `parent` to `len` bytes of client
// memory. A null pointer is refused here: umockdev would dereference it in
// the client. Null when the memory cannot be reached.
UMockdevIoctlData* Resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t len,
                           UsbfsHandler::Core::Pins& pins) {
    std::uintptr_t address = 0;
    if (!ReadNative(parent, offset, address) || address == 0) {
        return nullptr;
    }
    GError* raw = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(parent, offset, len, &raw);
    GErrorPtr error(raw);
    if (child == nullptr) {
        return nullptr;
    }
    pins.Keep(child);
    return Length(child) >= len ? child : nullptr;
}

ControlSetup ParseSetup(const std::uint8_t* p) {
    ControlSetup s;
    s.bmRequestType = p[0];
    s.bRequest = p[1];
    s.wValue = static_cast<std::uint16_t>(p[2] | (p[3] << 8));
    s.wIndex = static_cast<std::uint16_t>(p[4] | (p[5] << 8));
    s.wLength = static_cast<std::uint16_t>(p[6] | (p[7] << 8));
    return s;
}

// Reads a 32-bit unsigned argument passed by pointer.
bool ReadUintArg(UMockdevIoctlData* arg, UsbfsHandler::Core::Pins& pins, std::uint32_t& value) {
    UMockdevIoctlData* v = Resolve(arg, 0, sizeof(std::uint32_t), pins);
    return v != nullptr && ReadNative(v, 0, value);
}

}  // namespace

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

Reply UsbfsHandler::Core::Dispatch(UMockdevIoctlClient* client, gulong request,
                                   UMockdevIoctlData* arg, Pins& pins) {
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        // Requests that completed before the device went are still handed
        // out, as the kernel does; a program waiting for one must not hang.
        return ReapUrb(client, arg, pins);
    }
    if (!Live(client)) {
        return Fail(ENODEV);
    }
    if (IsConnInfoEx(request)) {
        return ConnInfoEx(request, arg, pins);
    }
    std::uint32_t value = 0;
    switch (request) {
        case USBDEVFS_SUBMITURB:
            return SubmitUrb(client, arg, pins);
        case USBDEVFS_CONTROL:
            return Control(arg, pins);
        case USBDEVFS_DISCARDURB:
            // Every URB completes while it is submitted: none is in flight.
            return Fail(EINVAL);
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = Resolve(arg, 0, sizeof(std::uint32_t), pins);
            if (caps == nullptr || !WriteNative(caps, 0, kCapabilities)) {
                return Fail(EFAULT);
            }
            return Ok();
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
            if (!ReadUintArg(arg, pins, value)) {
                return Fail(EFAULT);
            }
            return value == kInterfaceNumber ? Ok() : Fail(ENOENT);
        case USBDEVFS_DISCONNECT_CLAIM: {
            UMockdevIoctlData* claim =
                Resolve(arg, 0, sizeof(struct usbdevfs_disconnect_claim), pins);
            if (claim == nullptr ||
                !ReadNative(claim, offsetof(struct usbdevfs_disconnect_claim, interface), value)) {
                return Fail(EFAULT);
            }
            return value == kInterfaceNumber ? Ok() : Fail(ENOENT);
        }
        case USBDEVFS_GETDRIVER:
            // No kernel driver is bound to the interface.
            return Fail(ENODATA);
        case USBDEVFS_GET_SPEED:
            return Ok(static_cast<long>(kSpeedHigh));
        case USBDEVFS_CONNECTINFO:
            return ConnectInfo(arg, pins);
        case USBDEVFS_RESET:
            return Ok();
        case USBDEVFS_SETCONFIGURATION: {
            UMockdevIoctlData* v = Resolve(arg, 0, sizeof(int), pins);
            int configuration = 0;
            if (v == nullptr || !ReadNative(v, 0, configuration)) {
                return Fail(EFAULT);
            }
            return configuration == -1 || configuration == 0 || configuration == kConfigurationValue
                       ? Ok()
                       : Fail(EINVAL);
        }
        case USBDEVFS_SETINTERFACE: {
            UMockdevIoctlData* v = Resolve(arg, 0, sizeof(struct usbdevfs_setinterface), pins);
            std::uint32_t interface = 0;
            std::uint32_t alternate = 0;
            if (v == nullptr ||
                !ReadNative(v, offsetof(struct usbdevfs_setinterface, interface), interface) ||
                !ReadNative(v, offsetof(struct usbdevfs_setinterface, altsetting), alternate)) {
                return Fail(EFAULT);
            }
            return interface == kInterfaceNumber && alternate == 0 ? Ok() : Fail(EINVAL);
        }
        default:
            return Fail(ENOTTY);
    }
}

Reply UsbfsHandler::Core::SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                                    Pins& pins) {
    UMockdevIoctlData* urb = Resolve(arg, 0, sizeof(struct usbdevfs_urb), pins);
    if (urb == nullptr) {
        return Fail(EFAULT);
    }
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    int bufferLength = 0;
    if (!ReadNative(urb, offsetof(struct usbdevfs_urb, type), type) ||
        !ReadNative(urb, offsetof(struct usbdevfs_urb, endpoint), endpoint) ||
        !ReadNative(urb, offsetof(struct usbdevfs_urb, buffer_length), bufferLength)) {
        return Fail(EFAULT);
    }
    // Endpoint 0 is the device's only endpoint, and it takes control
    // requests only; the buffer is the setup packet and the data stage.
    if (type != USBDEVFS_URB_TYPE_CONTROL || (endpoint & ~USB_DIR_IN) != 0 ||
        bufferLength < static_cast<int>(sizeof(struct usb_ctrlrequest)) ||
        static_cast<std::size_t>(bufferLength) > sizeof(struct usb_ctrlrequest) + kMaxControlData) {
        return Fail(EINVAL);
    }
    {
        std::lock_guard lock(mu);
        if (Entry(client).completed.size() >= kMaxUncollected) {
            return Fail(ENOMEM);
        }
    }
    const auto length = static_cast<std::size_t>(bufferLength);
    UMockdevIoctlData* buffer = Resolve(urb, offsetof(struct usbdevfs_urb, buffer), length, pins);
    if (buffer == nullptr) {
        return Fail(EFAULT);
    }
    const ControlSetup setup = ParseSetup(buffer->data);
    if (setup.wLength > length - sizeof(struct usb_ctrlrequest)) {
        return Fail(EINVAL);
    }
    Completion done;
    std::span<std::uint8_t> stage(buffer->data + sizeof(struct usb_ctrlrequest), setup.wLength);
    if ((setup.bmRequestType & USB_DIR_IN) != 0) {
        // Filled apart, so that the program's buffer stays as it was until
        // the URB is reaped.
        done.in.resize(setup.wLength);
        stage = done.in;
    }
    const TransferResult result = Transfer(setup, stage);
    if (result.answer == Answer::Gone) {
        return Fail(ENODEV);
    }
    done.status = result.answer == Answer::Ok ? 0 : -EPIPE;
    done.actual = static_cast<int>(result.actual);
    done.in.resize(std::min(done.in.size(), result.actual));
    done.urb = GObjectRef(urb);
    done.buffer = GObjectRef(buffer);
    // The submission returns once the device has answered, so that the
    // client waits in this ioctl rather than polling for a URB not done
    // yet (the node is a regular file: poll would never block).
    Reply reply = Ok();
    reply.latency = result.latency;
    reply.completion = std::move(done);
    return reply;
}

Reply UsbfsHandler::Core::ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins) {
    std::optional<Completion> done;
    {
        std::lock_guard lock(mu);
        const auto it = clients.find(client);
        if (it != clients.end() && !it->second.completed.empty()) {
            done = std::move(it->second.completed.front());
            it->second.completed.pop_front();
        }
    }
    if (!done) {
        // The blocking form would wait for a request to complete; none can
        // while the caller waits, so both forms answer at once.
        return Fail(Live(client) ? EAGAIN : ENODEV);
    }
    // The buffer was resolved to the URB's full length, which holds the
    // data stage.
    if (Length(done->buffer.get()) < sizeof(struct usb_ctrlrequest) + done->in.size() ||
        !WriteNative(done->urb.get(), offsetof(struct usbdevfs_urb, status), done->status) ||
        !WriteNative(done->urb.get(), offsetof(struct usbdevfs_urb, actual_length), done->actual)) {
        return Fail(EFAULT);
    }
    std::copy(done->in.begin(), done->in.end(),
              done->buffer->data + sizeof(struct usb_ctrlrequest));
    UMockdevIoctlData* slot = Resolve(arg, 0, sizeof(void*), pins);
    if (slot == nullptr || !umockdev_ioctl_data_set_ptr(slot, 0, done->urb.get())) {
        return Fail(EFAULT);
    }
    pins.Keep(done->urb.release());
    return Ok();
}

Reply UsbfsHandler::Core::Control(UMockdevIoctlData* arg, Pins& pins) {
    using Ctrl = struct usbdevfs_ctrltransfer;
    UMockdevIoctlData* ctrl = Resolve(arg, 0, sizeof(Ctrl), pins);
    ControlSetup setup;
    if (ctrl == nullptr || !ReadNative(ctrl, offsetof(Ctrl, bRequestType), setup.bmRequestType) ||
        !ReadNative(ctrl, offsetof(Ctrl, bRequest), setup.bRequest) ||
        !ReadNative(ctrl, offsetof(Ctrl, wValue), setup.wValue) ||
        !ReadNative(ctrl, offsetof(Ctrl, wIndex), setup.wIndex) ||
        !ReadNative(ctrl, offsetof(Ctrl, wLength), setup.wLength)) {
        return Fail(EFAULT);
    }
    if (setup.wLength > kMaxControlData) {
        return Fail(EINVAL);
    }
    std::span<std::uint8_t> data;
    if (setup.wLength > 0) {
        UMockdevIoctlData* buffer = Resolve(ctrl, offsetof(Ctrl, data), setup.wLength, pins);
        if (buffer == nullptr) {
            return Fail(EFAULT);
        }
        data = std::span(buffer->data, setup.wLength);
    }
    const TransferResult result = Transfer(setup, data);
    Reply reply = Fail(EIO);
    switch (result.answer) {
        case Answer::Ok:
            reply = Ok(static_cast<long>(result.actual));
            break;
        case Answer::Stall:
            reply = Fail(EPIPE);
            break;
        case Answer::Gone:
            return Fail(ENODEV);
    }
    reply.latency = result.latency;
    return reply;
}

Reply UsbfsHandler::Core::ConnInfoEx(gulong request, UMockdevIoctlData* arg, Pins& pins) {
    using Info = struct usbdevfs_conninfo_ex;
    const std::size_t size = _IOC_SIZE(request);
    if (size == 0) {
        return Fail(EINVAL);
    }
    UMockdevIoctlData* out = Resolve(arg, 0, size, pins);
    if (out == nullptr) {
        return Fail(EFAULT);
    }
    // Filled in full locally, then as much as the caller asked for.
    std::vector<std::uint8_t> info(std::max(size, sizeof(Info)), 0);
    const auto put32 = [&info](std::size_t offset, std::uint32_t v) {
        std::memcpy(info.data() + offset, &v, sizeof v);
    };
    put32(offsetof(Info, size), static_cast<std::uint32_t>(sizeof(Info)));
    put32(offsetof(Info, busnum), address.bus);
    put32(offsetof(Info, devnum), address.device);
    put32(offsetof(Info, speed), kSpeedHigh);
    info[offsetof(Info, num_ports)] = 1;
    info[offsetof(Info, ports)] = address.port;
    std::memcpy(out->data, info.data(), size);
    return Ok();
}

Reply UsbfsHandler::Core::ConnectInfo(UMockdevIoctlData* arg, Pins& pins) {
    using Info = struct usbdevfs_connectinfo;
    UMockdevIoctlData* out = Resolve(arg, 0, sizeof(Info), pins);
    if (out == nullptr || !WriteNative(out, offsetof(Info, devnum), address.device) ||
        !WriteNative(out, offsetof(Info, slow), static_cast<unsigned char>(0))) {
        return Fail(EFAULT);
    }
    return Ok();
}

TransferResult UsbfsHandler::Core::Transfer(const ControlSetup& setup,
                                            std::span<std::uint8_t> data) {
    if ((setup.bmRequestType & USB_TYPE_MASK) == USB_TYPE_STANDARD) {
        return Standard(setup, data);
    }
    const Answer answer = model->Handle(setup, data);
    if (answer == Answer::Gone) {
        if (onGone) {
            onGone();
        }
        // A device that has gone answers nothing, at once.
        return {answer, 0, {}};
    }
    return {answer, answer == Answer::Ok ? data.size() : 0, model->Latency()};
}

// The few standard requests a host may send a device it has enumerated;
// the model only speaks the vendor requests of the flash protocol.
TransferResult UsbfsHandler::Core::Standard(const ControlSetup& setup,
                                            std::span<std::uint8_t> data) const {
    const auto send = [&data](std::span<const std::uint8_t> bytes) {
        const std::size_t n = std::min(bytes.size(), data.size());
        std::copy_n(bytes.begin(), n, data.begin());
        return TransferResult{Answer::Ok, n};
    };
    const bool in = (setup.bmRequestType & USB_DIR_IN) != 0;
    const auto recipient = setup.bmRequestType & USB_RECIP_MASK;
    if (in && recipient == USB_RECIP_DEVICE && setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
        const auto kind = setup.wValue >> 8;
        if (kind == USB_DT_DEVICE) {
            return send(DeviceDescriptor(descriptors));
        }
        if (kind == USB_DT_CONFIG && (setup.wValue & 0xFF) == 0) {
            return send(ConfigurationDescriptor(descriptors));
        }
    } else if (in && setup.bRequest == USB_REQ_GET_STATUS && setup.wLength == 2) {
        const std::uint8_t status[2] = {0, 0};
        return send(status);
    } else if (in && recipient == USB_RECIP_DEVICE && setup.bRequest == USB_REQ_GET_CONFIGURATION) {
        const std::uint8_t value[1] = {kConfigurationValue};
        return send(value);
    } else if (!in && recipient == USB_RECIP_DEVICE &&
               setup.bRequest == USB_REQ_SET_CONFIGURATION && setup.wLength == 0 &&
               (setup.wValue == 0 || setup.wValue == kConfigurationValue)) {
        return {Answer::Ok, 0};
    }
    return {Answer::Stall, 0};
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
