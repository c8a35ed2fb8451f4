#pragma once
// Inside the usbfs side of a virtual device: the state the handler keeps per
// device and per open file, and the pieces its request decoding shares with
// the way replies go out. For the usbfs_*.cpp files only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/reply_timer.h"
#include "sim/usbfs_handler.h"

namespace sovra::sim {

// The kernel structures of the ioctl interface are in the host's native
// layout (the client is a process on this machine), so their fields are
// read and written at their offsetof positions; the setup packet, which is
// USB wire format, is decoded byte by byte, little endian.
inline std::size_t Length(const UMockdevIoctlData* data) {
    return data->data_len < 0 ? 0 : static_cast<std::size_t>(data->data_len);
}

template <class T>
bool ReadNative(const UMockdevIoctlData* data, std::size_t offset, T& value) {
    const bool fits = Length(data) >= offset + sizeof(T);
    if (fits) {
        std::memcpy(&value, data->data + offset, sizeof(T));
    }
    return fits;
}

template <class T>
bool WriteNative(UMockdevIoctlData* data, std::size_t offset, T value) {
    const bool fits = Length(data) >= offset + sizeof(T);
    if (fits) {
        std::memcpy(data->data + offset, &value, sizeof(T));
    }
    return fits;
}

// A submitted URB: in flight until the device's latency has passed, then
// landed, until the program reaps it. As with the kernel, the answer
// (status, length, an IN request's data) reaches the program's memory only
// when it reaps the URB.
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

    // Ended before the device answered: nothing moved.
    void Cancel(int why) {
        status = why;
        actual = 0;
        in.clear();
    }
};

struct Reply {
    long result = 0;
    int error = 0;
    // How long the device takes to give it; the client waits in its ioctl
    // meanwhile, while the testbed's thread goes on serving other devices.
    // Only a synchronous control transfer waits so: a URB lands later.
    std::chrono::microseconds latency{0};
    // The handler answers later by itself (a reap waiting for a URB to
    // land, a claim waiting for a closed file to be let go of).
    bool deferred = false;
};

inline Reply Ok(long result = 0) {
    return {result};
}
inline Reply Fail(int error) {
    return {-1, error};
}
inline Reply Deferred() {
    return {.deferred = true};
}

struct TransferResult {
    Answer answer = Answer::Ok;
    std::size_t actual = 0;  // bytes of the data stage moved
    std::chrono::microseconds latency{0};
};

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

    // A client whose answer goes out later, holding the client object
    // (whose pending ioctl umockdev would otherwise drop once the handler
    // returns) and the memory it writes back: a synchronous control
    // transfer's reply held back for the latency, or a reap that waits for
    // one of its file's URBs to land (on a real node the program's poll
    // would sleep meanwhile, but the emulated node always polls ready).
    struct Waiting {
        GObjectPtr<UMockdevIoctlClient> client;
        Pins pins;
        Reply reply;            // a held reply
        bool blocking = false;  // REAPURB: waits for as long as a URB is in flight
        bool answered = false;  // guarded by mu
    };
    using WaitingRef = std::shared_ptr<Waiting>;

    // One open file of the device node.
    struct Client {
        // The connection it was opened on: a file opened before an unplug
        // stays dead after the replug, as on a real bus.
        std::uint64_t generation = 0;
        std::deque<Completion> inFlight;   // in submission order
        std::deque<Completion> completed;  // in the order they landed, until reaped
        std::vector<WaitingRef> reaps;
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
    // Held replies in arrival order; an unplug sends them at once. The last
    // owner of one lets go of it outside mu: its client reference may be the
    // object's last, and the object's end takes mu.
    std::vector<WaitingRef> held;

    // A waiting reap and what it gets: a landed URB, or an errno.
    struct Delivery {
        WaitingRef reap;
        std::optional<Completion> done;
        int error = 0;
    };

    void Handle(UMockdevIoctlClient* client);
    // Runs `job` at `due` on the timer, or at once when the host is going.
    void After(ReplyTimer::Clock::time_point due, ReplyTimer::Job job);
    void Hold(UMockdevIoctlClient* client, Reply reply, Pins pins);
    void Release(const WaitingRef& h);
    void Send(UMockdevIoctlClient* client, const Reply& reply);
    void Disconnect();
    void Vanished(UMockdevIoctlClient* client);
    // The client's state, made the first time it is asked for. Called with
    // mu held.
    Client& Entry(UMockdevIoctlClient* client);
    // Whether the device still answers this client.
    bool Live(UMockdevIoctlClient* client);

    // Moves the first URB in flight of `client` that `match` picks to the
    // landed ones, cancelled with status `cancel` unless it is 0, and
    // answers the waiting reaps. False when there is none.
    bool Land(UMockdevIoctlClient* client, const std::function<bool(const Completion&)>& match,
              int cancel);
    // Answers the client's waiting reaps from what has landed; a reap that
    // finds nothing gets EAGAIN (ENODEV once the device has gone), unless
    // it blocks and a URB is still in flight. Called with mu held; the
    // deliveries are made with Deliver, outside it.
    void TakeDeliveries(Client& c, std::vector<Delivery>& out);
    // The front landed URB for `reap`, or the errno it gets when none has.
    Delivery Next(Client& c, WaitingRef reap) const;
    void Deliver(std::vector<Delivery>& deliveries);
    // A reap that has waited as long as a non-blocking one may.
    void ReapWaitOver(const WaitingRef& reap);
    // Another file holds the interface; see usbfs_handler.cpp.
    Reply DeferClaim(UMockdevIoctlClient* client, Pins& pins);
    // Whether a file other than `client` holds the interface. Called with
    // mu held.
    bool ClaimedByOther(UMockdevIoctlClient* client) const;

    Reply Dispatch(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg, Pins& pins);
    Reply SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins);
    Reply ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins, bool blocking);
    Reply Claim(UMockdevIoctlClient* client, std::uint32_t interface, Pins& pins);
    Reply ReleaseClaim(UMockdevIoctlClient* client, std::uint32_t interface);
    Reply Control(UMockdevIoctlData* arg, Pins& pins);
    Reply ConnInfoEx(gulong request, UMockdevIoctlData* arg, Pins& pins);

    TransferResult Transfer(const ControlSetup& setup, std::span<std::uint8_t> data);
    TransferResult Standard(const ControlSetup& setup, std::span<std::uint8_t> data) const;
};

// Resolves the pointer at `offset` of `parent` to `len` bytes of client
// memory, kept in `pins`. Null when the pointer is null or the memory
// cannot be reached.
UMockdevIoctlData* Resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t len,
                           UsbfsHandler::Core::Pins& pins);

// Writes a landed URB's answer into the program's memory and points the
// reap's argument at it.
Reply CollectUrb(Completion& done, UMockdevIoctlData* arg, UsbfsHandler::Core::Pins& pins);

// How long a non-blocking reap may wait for a URB in flight before it says
// EAGAIN: short enough that the program's own time limit, which it checks
// between two reaps, fires about on time; long enough that a program
// waiting out a slow device does not spin.
inline constexpr std::chrono::milliseconds kReapWait{10};

// How many quiet turns of the testbed's loop a claim waits for a closed
// file that held the interface to be let go of.
inline constexpr int kClaimTurns = 4;

}  // namespace sovra::sim
