// How a virtual device's node carries URBs: a submission is answered at
// once, the URB lands when the device's latency has passed (or at once
// without latency), a reap hands over what has landed or waits a little
// for it, and a discard cancels a URB still in flight.

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "sim/usbfs_core.h"

namespace sovra::sim {

Reply UsbfsHandler::Core::SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                                    Pins& pins) {
    UMockdevIoctlData* urb = Resolve(arg, 0, sizeof(struct usbdevfs_urb), pins);
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    int bufferLength = 0;
    if (urb == nullptr || !ReadNative(urb, offsetof(struct usbdevfs_urb, type), type) ||
        !ReadNative(urb, offsetof(struct usbdevfs_urb, endpoint), endpoint) ||
        !ReadNative(urb, offsetof(struct usbdevfs_urb, buffer_length), bufferLength)) {
        return Fail(EFAULT);
    }
    // Endpoint 0 is the device's only endpoint, and it takes control
    // requests only; the buffer is the setup packet and the data stage.
    constexpr std::size_t kSetupSize = sizeof(struct usb_ctrlrequest);
    if (type != USBDEVFS_URB_TYPE_CONTROL || (endpoint & ~USB_DIR_IN) != 0 ||
        bufferLength < static_cast<int>(kSetupSize) ||
        static_cast<std::size_t>(bufferLength) > kSetupSize + kMaxControlData) {
        return Fail(EINVAL);
    }
    {
        std::lock_guard lock(mu);
        const Client& c = Entry(client);
        if (c.completed.size() + c.inFlight.size() >= kMaxUncollected) {
            return Fail(ENOMEM);
        }
    }
    const auto length = static_cast<std::size_t>(bufferLength);
    UMockdevIoctlData* buffer = Resolve(urb, offsetof(struct usbdevfs_urb, buffer), length, pins);
    if (buffer == nullptr) {
        return Fail(EFAULT);
    }
    const std::uint8_t* p = buffer->data;
    const ControlSetup setup{p[0], p[1], static_cast<std::uint16_t>(p[2] | (p[3] << 8)),
                             static_cast<std::uint16_t>(p[4] | (p[5] << 8)),
                             static_cast<std::uint16_t>(p[6] | (p[7] << 8))};
    if (setup.wLength > length - kSetupSize) {
        return Fail(EINVAL);
    }
    Completion done;
    std::span<std::uint8_t> stage(buffer->data + kSetupSize, setup.wLength);
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
    done.address = urb->client_addr;  // how DISCARDURB names it
    done.due = std::chrono::steady_clock::now() + result.latency;

    // The submission returns at once, as the kernel's does; a URB with
    // latency lands later, and may meanwhile be discarded by a program
    // whose time limit ran out.
    const bool later = result.latency.count() > 0;
    std::vector<Delivery> out;
    std::uint64_t id = 0;
    const auto due = done.due;
    {
        std::lock_guard lock(mu);
        Client& c = Entry(client);
        // Checked under the lock Disconnect takes: a URB submitted as the
        // device went must not wait out its latency.
        if (c.generation != generation) {
            return Fail(ENODEV);
        }
        id = done.id = ++nextUrbId;
        if (later) {
            c.inFlight.push_back(std::move(done));
        } else {
            c.completed.push_back(std::move(done));
            TakeDeliveries(c, out);
        }
    }
    Deliver(out);
    if (later) {
        After(due, [core = shared_from_this(), client, id] {
            core->Land(
                client, [id](const Completion& u) { return u.id == id; }, 0);
        });
    }
    return Ok();
}

Reply UsbfsHandler::Core::ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins,
                                  bool blocking) {
    std::optional<Completion> done;
    WaitingRef wait;
    bool waitIsShort = false;
    {
        std::lock_guard lock(mu);
        const auto it = clients.find(client);
        if (it != clients.end()) {
            Client& c = it->second;
            if (!c.completed.empty()) {
                done = std::move(c.completed.front());
                c.completed.pop_front();
            } else if (!c.inFlight.empty()) {
                wait = std::make_shared<Waiting>(
                    Waiting{GObjectRef(client), std::move(pins), {}, blocking});
                c.reaps.push_back(wait);
                // A landing answers the wait; a non-blocking one that no
                // landing ends soon ends by itself.
                const auto soon = std::chrono::steady_clock::now() + kReapWait;
                waitIsShort = !blocking && c.inFlight.front().due > soon;
            }
        }
    }
    if (wait) {
        if (waitIsShort) {
            After(ReplyTimer::Clock::now() + kReapWait,
                  [core = shared_from_this(), wait] { core->ReapWaitOver(wait); });
        }
        return Deferred();
    }
    if (!done) {
        // Nothing landed and nothing in flight: the blocking form would wait
        // for ever, so both forms answer at once.
        return Fail(Live(client) ? EAGAIN : ENODEV);
    }
    return CollectUrb(*done, arg, pins);
}

Reply CollectUrb(Completion& done, UMockdevIoctlData* arg, UsbfsHandler::Core::Pins& pins) {
    // The buffer was resolved to the URB's full length, which holds the
    // data stage.
    constexpr std::size_t kSetupSize = sizeof(struct usb_ctrlrequest);
    if (Length(done.buffer.get()) < kSetupSize + done.in.size() ||
        !WriteNative(done.urb.get(), offsetof(struct usbdevfs_urb, status), done.status) ||
        !WriteNative(done.urb.get(), offsetof(struct usbdevfs_urb, actual_length), done.actual)) {
        return Fail(EFAULT);
    }
    std::copy(done.in.begin(), done.in.end(), done.buffer->data + kSetupSize);
    UMockdevIoctlData* slot = Resolve(arg, 0, sizeof(void*), pins);
    if (slot == nullptr || !umockdev_ioctl_data_set_ptr(slot, 0, done.urb.get())) {
        return Fail(EFAULT);
    }
    pins.Keep(done.urb.release());
    return Ok();
}

bool UsbfsHandler::Core::Land(UMockdevIoctlClient* client,
                              const std::function<bool(const Completion&)>& match, int cancel) {
    std::vector<Delivery> out;
    {
        std::lock_guard lock(mu);
        // Ids are unique, so a later file given the same client object never
        // takes a closed file's URB for its own.
        const auto it = clients.find(client);
        if (it == clients.end()) {
            return false;
        }
        Client& c = it->second;
        const auto urb = std::find_if(c.inFlight.begin(), c.inFlight.end(), match);
        if (urb == c.inFlight.end()) {
            return false;  // landed already, discarded, or ended by an unplug
        }
        if (cancel != 0) {
            urb->Cancel(cancel);
        }
        c.completed.push_back(std::move(*urb));
        c.inFlight.erase(urb);
        TakeDeliveries(c, out);
    }
    Deliver(out);
    return true;
}

UsbfsHandler::Core::Delivery UsbfsHandler::Core::Next(Client& c, WaitingRef reap) const {
    if (c.completed.empty()) {
        return {std::move(reap), std::nullopt, c.generation == generation ? EAGAIN : ENODEV};
    }
    Delivery d{std::move(reap), std::move(c.completed.front()), 0};
    c.completed.pop_front();
    return d;
}

void UsbfsHandler::Core::TakeDeliveries(Client& c, std::vector<Delivery>& out) {
    std::vector<WaitingRef> still;
    for (auto& reap : c.reaps) {
        if (c.completed.empty() && reap->blocking && c.generation == generation &&
            !c.inFlight.empty()) {
            still.push_back(std::move(reap));
        } else {
            reap->answered = true;
            out.push_back(Next(c, std::move(reap)));
        }
    }
    c.reaps = std::move(still);
}

void UsbfsHandler::Core::Deliver(std::vector<Delivery>& deliveries) {
    for (Delivery& d : deliveries) {
        UMockdevIoctlClient* client = d.reap->client.get();
        Send(client, d.done
                         ? CollectUrb(*d.done, umockdev_ioctl_client_get_arg(client), d.reap->pins)
                         : Fail(d.error));
    }
    // The client references go here, outside mu.
    deliveries.clear();
}

void UsbfsHandler::Core::ReapWaitOver(const WaitingRef& reap) {
    std::vector<Delivery> out;
    {
        std::lock_guard lock(mu);
        if (reap->answered) {
            return;
        }
        reap->answered = true;
        const auto it = clients.find(reap->client.get());
        if (it == clients.end()) {
            out.push_back({reap, std::nullopt, ENODEV});
        } else {
            Client& c = it->second;
            c.reaps.erase(std::find(c.reaps.begin(), c.reaps.end(), reap));
            out.push_back(Next(c, reap));
        }
    }
    Deliver(out);
}

}  // namespace sovra::sim
