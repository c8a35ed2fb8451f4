#pragma once
// Inside the usbfs side of a virtual device: the state the handler keeps per
// device and per open file, and the pieces its request decoding shares with
// the way replies go out. For usbfs_handler.cpp and usbfs_requests.cpp only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/usbfs_handler.h"

namespace sovra::sim {

class ReplyTimer;

namespace usbfs {

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

inline std::size_t Length(const UMockdevIoctlData* data) {
    return data->data_len < 0 ? 0 : static_cast<std::size_t>(data->data_len);
}

// A submitted URB: in flight until the device's latency has passed, then
// landed, until the program reaps it. As with the kernel, the answer
// (status, length, an IN request's data) reaches the program's memory when
// it reaps the URB, not before: each piece of that memory is written back
// once, where writing it at submission too would cost every request a
// second copy.
struct Completion {
    // The references keep the client memory mapping umockdev made.
    GObjectPtr<UMockdevIoctlData> urb;
    GObjectPtr<UMockdevIoctlData> buffer;  // setup packet and data stage
    std::uintptr_t address = 0;            // the URB in the program's memory
    std::uint64_t id = 0;                  // unique over the device's life
    std::chrono::steady_clock::time_point due;
    int status = 0;
    int actual = 0;
    std::vector<std::uint8_t> in;  // an IN request's data stage
};

struct Reply {
    long result = 0;
    int error = 0;
    // How long the device takes to give it; the client waits in its ioctl
    // meanwhile, while the testbed's thread goes on serving other devices.
    // Only a synchronous control transfer waits so: a URB is answered at
    // once and lands later.
    std::chrono::microseconds latency{0};
    // The handler answers later by itself (a reap waiting for a URB to
    // land, a claim waiting for a closed file to be let go of).
    bool deferred = false;
};

inline Reply Ok(long result = 0) {
    Reply r;
    r.result = result;
    return r;
}
inline Reply Fail(int error) {
    Reply r;
    r.result = -1;
    r.error = error;
    return r;
}
inline Reply Deferred() {
    Reply r;
    r.deferred = true;
    return r;
}

struct TransferResult {
    Answer answer = Answer::Ok;
    std::size_t actual = 0;  // bytes of the data stage moved
    std::chrono::microseconds latency{0};
};

}  // namespace usbfs

struct UsbfsHandler::Core : std::enable_shared_from_this<Core> {
    std::shared_ptr<BeamformerModel> model;
    UsbfsAddress address;
    std::vector<std::uint8_t> descriptors;
    UsbIds ids;
    GoneCallback onGone;
    // Not an owner: a job of the timer holds the core, and must not end up
    // holding the timer's last owner.
    std::weak_ptr<ReplyTimer> timer;

    // References that must outlive the reply: umockdev writes resolved
    // memory back to the client when the ioctl completes.
    struct Pins {
        std::vector<GObjectPtr<UMockdevIoctlData>> data;
        UMockdevIoctlData* Keep(UMockdevIoctlData* d) {
            data.emplace_back(d);
            return d;
        }
    };

    // A reap that waits for one of its file's URBs to land: on a real node
    // the program's poll would sleep meanwhile, but the emulated node is a
    // regular file that always polls ready, so the wait happens here. It
    // holds the client object, whose pending ioctl umockdev would otherwise
    // drop once the handler returns.
    struct WaitingReap {
        GObjectPtr<UMockdevIoctlClient> client;
        Pins pins;
        bool blocking = false;  // REAPURB: waits for as long as a URB is in flight
        bool answered = false;  // guarded by mu
    };

    // One open file of the device node.
    struct Client {
        // The connection it was opened on: a file opened before an unplug
        // stays dead after the replug, as on a real bus.
        std::uint64_t generation = 0;
        // Submitted URBs waiting out the device's latency, in submission
        // order.
        std::deque<usbfs::Completion> inFlight;
        // Landed URBs in the order they landed, until reaped.
        std::deque<usbfs::Completion> completed;
        std::vector<std::shared_ptr<WaitingReap>> reaps;
        // Whether it holds the device's interface: another file's claim is
        // refused meanwhile.
        bool claimed = false;
    };

    mutable std::mutex mu;
    std::uint64_t generation = 0;
    std::uint64_t nextUrbId = 0;
    // By the client object's address, for as long as the object lives: the
    // testbed gives a later file the address of a closed one, and what the
    // closed file left (URBs pointing into its memory, its connection, its
    // claim) must not pass to the new one. The testbed never says that a
    // client has gone, so the object itself tells (a weak reference).
    std::map<UMockdevIoctlClient*, Client> clients;

    // A synchronous control transfer's reply held back for the latency,
    // with everything it needs when it goes out: the client and the memory
    // it writes back.
    struct Held {
        GObjectPtr<UMockdevIoctlClient> client;
        usbfs::Reply reply;
        Pins pins;
        bool sent = false;  // guarded by mu
    };
    // Held replies in arrival order; an unplug sends them at once. The
    // last owner of a Held lets go of it outside mu: its client reference
    // may be the object's last, and the object's end takes mu.
    std::vector<std::shared_ptr<Held>> held;

    // A waiting reap and what it gets: a landed URB, or an errno.
    struct Delivery {
        std::shared_ptr<WaitingReap> reap;
        std::optional<usbfs::Completion> done;
        int error = 0;
    };

    void Handle(UMockdevIoctlClient* client);
    void Hold(UMockdevIoctlClient* client, usbfs::Reply reply, Pins pins);
    void Release(const std::shared_ptr<Held>& h);
    void Send(UMockdevIoctlClient* client, const usbfs::Reply& reply);
    void Disconnect();
    void Connected(UMockdevIoctlClient* client);
    void Vanished(UMockdevIoctlClient* client);
    // The client's state, made the first time it is asked for. Called with
    // mu held.
    Client& Entry(UMockdevIoctlClient* client);
    // Whether the device still answers this client.
    bool Live(UMockdevIoctlClient* client);

    // The URB `id` of `client` has waited out the latency.
    void Land(UMockdevIoctlClient* client, std::uint64_t id);
    // Answers the client's waiting reaps from what has landed; a reap that
    // finds nothing gets EAGAIN (ENODEV once the device has gone), unless
    // it blocks and a URB is still in flight. Called with mu held; the
    // deliveries are made with Deliver, outside it.
    void TakeDeliveries(Client& c, std::vector<Delivery>& out);
    void Deliver(std::vector<Delivery>& deliveries);
    // A reap that has waited as long as a non-blocking one may.
    void ReapWaitOver(const std::shared_ptr<WaitingReap>& reap);
    // Another file holds the interface; see usbfs_requests.cpp.
    usbfs::Reply DeferClaim(UMockdevIoctlClient* client, Pins& pins);
    // Whether a file other than `client` holds the interface. Called with
    // mu held.
    bool ClaimedByOther(UMockdevIoctlClient* client) const;

    usbfs::Reply Dispatch(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg,
                          Pins& pins);
    usbfs::Reply SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins);
    usbfs::Reply ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins,
                         bool blocking);
    usbfs::Reply DiscardUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    usbfs::Reply Claim(UMockdevIoctlClient* client, std::uint32_t interface, Pins& pins);
    usbfs::Reply ReleaseClaim(UMockdevIoctlClient* client, std::uint32_t interface);
    usbfs::Reply Control(UMockdevIoctlData* arg, Pins& pins);
    usbfs::Reply ConnInfoEx(gulong request, UMockdevIoctlData* arg, Pins& pins);
    usbfs::Reply ConnectInfo(UMockdevIoctlData* arg, Pins& pins);

    usbfs::TransferResult Transfer(const ControlSetup& setup, std::span<std::uint8_t> data);
    usbfs::TransferResult Standard(const ControlSetup& setup, std::span<std::uint8_t> data) const;
};

namespace usbfs {

// Resolves the pointer at `offset` of `parent` to `len` bytes of client
// memory, kept in `pins`. Null when the pointer is null or the memory
// cannot be reached.
UMockdevIoctlData* Resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t len,
                           UsbfsHandler::Core::Pins& pins);

}  // namespace usbfs

// Writes a landed URB's answer into the program's memory and points the
// reap's argument at it.
usbfs::Reply CollectUrb(usbfs::Completion& done, UMockdevIoctlData* arg,
                        UsbfsHandler::Core::Pins& pins);

// How long a non-blocking reap may wait for a URB in flight before it says
// EAGAIN: short enough that the program's own time limit, which it checks
// between two reaps, fires about on time; long enough that a program
// waiting out a slow device does not spin.
inline constexpr std::chrono::milliseconds kReapWait{10};

// How many quiet turns of the testbed's loop a claim waits for a closed
// file that held the interface to be let go of.
inline constexpr int kClaimTurns = 4;

}  // namespace sovra::sim
