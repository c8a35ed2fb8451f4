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
        std::deque<usbfs::Completion> completed;
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
        usbfs::Reply reply;
        Pins pins;
        bool sent = false;  // guarded by mu
    };
    // Held replies in arrival order; an unplug sends them at once. The
    // last owner of a Held lets go of it outside mu: its client reference
    // may be the object's last, and the object's end takes mu.
    std::vector<std::shared_ptr<Held>> held;

    void Handle(UMockdevIoctlClient* client);
    void Hold(UMockdevIoctlClient* client, usbfs::Reply reply, Pins pins);
    void Release(const std::shared_ptr<Held>& h);
    void Send(UMockdevIoctlClient* client, usbfs::Reply& reply);
    void Disconnect();
    void Connected(UMockdevIoctlClient* client);
    void Vanished(UMockdevIoctlClient* client);
    // The client's state, made the first time it is asked for. Called with
    // mu held.
    Client& Entry(UMockdevIoctlClient* client);
    // Whether the device still answers this client.
    bool Live(UMockdevIoctlClient* client);

    usbfs::Reply Dispatch(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg,
                          Pins& pins);
    usbfs::Reply SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins);
    usbfs::Reply ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Pins& pins);
    usbfs::Reply Control(UMockdevIoctlData* arg, Pins& pins);
    usbfs::Reply ConnInfoEx(gulong request, UMockdevIoctlData* arg, Pins& pins);
    usbfs::Reply ConnectInfo(UMockdevIoctlData* arg, Pins& pins);

    usbfs::TransferResult Transfer(const ControlSetup& setup, std::span<std::uint8_t> data);
    usbfs::TransferResult Standard(const ControlSetup& setup, std::span<std::uint8_t> data) const;
};

}  // namespace sovra::sim
