#include "sim/usb_host.h"

#include <umockdev.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "sim/gobject_ptr.h"
#include "sim/reply_timer.h"
#include "sim/usbfs_handler.h"

namespace sovra::sim {
namespace {

constexpr std::uint32_t kBus = 1;
// Addresses 2.. on bus 1; address 1 is the root hub's.
constexpr std::size_t kMaxDevices = 126;
constexpr unsigned kUsbDeviceMajor = 189;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    // umockdev reads upper-case digits only.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        s.push_back(kDigits[b >> 4]);
        s.push_back(kDigits[b & 0xF]);
    }
    return s;
}

std::string Format(const char* format, auto... args) {
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    return std::string(
        buffer, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Throws when a testbed call failed, saying what it was for and why.
void Check(gboolean done, GError* raw, const std::string& what) {
    GErrorPtr error(raw);
    if (!done) {
        throw std::runtime_error(what + ": " + (error ? error->message : "unknown error"));
    }
}

// Unplugs requested from the testbed's thread, where the testbed itself
// must not be called (it is busy answering the ioctl that found the device
// gone); a thread of the host carries them out.
struct GoneQueue {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::size_t> pending;
    bool busy = false;
    bool stop = false;

    void Push(std::size_t index) {
        {
            std::lock_guard lock(mu);
            pending.push_back(index);
        }
        cv.notify_all();
    }
};

}  // namespace

struct UsbHost::Impl {
    struct Device {
        UsbIds ids;
        std::shared_ptr<BeamformerModel> model;
        UsbfsAddress address;
        std::string sysPath;
        std::string devNode;
        std::string record;               // the testbed's description of the device
        UsbfsHandler* handler = nullptr;  // the one on devNode, in `handlers`
        bool plugged = false;
        bool everPlugged = false;
    };

    GObjectPtr<UMockdevTestbed> testbed;
    std::string root;
    mutable std::mutex mu;  // the devices, and every call into the testbed
    std::vector<std::unique_ptr<Device>> devices;
    // By device node: each plug-in gets a new address, hence a new node and
    // handler; the old handler stays for the files open on the old node.
    std::map<std::string, std::unique_ptr<UsbfsHandler>> handlers;
    std::uint32_t lastAddress = 1;
    std::shared_ptr<GoneQueue> gone = std::make_shared<GoneQueue>();
    std::thread unplugger;
    // Sends the replies the devices hold back for their latency. The host
    // is its only owner, so it stops before the testbed goes.
    std::shared_ptr<ReplyTimer> timer = std::make_shared<ReplyTimer>();

    Device& At(std::size_t index) const {
        if (index >= devices.size()) {
            throw std::out_of_range("no virtual device " + std::to_string(index));
        }
        return *devices[index];
    }

    void AddToTestbed(Device& d) {
        GError* raw = nullptr;
        const gboolean added =
            umockdev_testbed_add_from_string(testbed.get(), d.record.c_str(), &raw);
        Check(added, raw, "cannot add virtual device " + d.sysPath);
    }

    void Detach(const std::string& node) {
        GError* raw = nullptr;
        umockdev_testbed_detach_ioctl(testbed.get(), node.c_str(), &raw);
        GErrorPtr ignored(raw);
    }

    // A new device with its address and handler, not on the bus yet.
    // Called with mu held.
    std::size_t Add(UsbIds ids, std::shared_ptr<BeamformerModel> model) {
        if (!model) {
            throw std::invalid_argument("a virtual device needs a model");
        }
        const std::size_t index = devices.size();
        if (index >= kMaxDevices) {
            throw std::runtime_error("the virtual bus is full");
        }
        auto d = std::make_unique<Device>();
        d->ids = std::move(ids);
        d->model = std::move(model);
        d->address.bus = kBus;
        d->address.device = 0;  // none yet
        d->address.port = static_cast<std::uint8_t>(index + 1);
        d->sysPath = Format("/sys/devices/pci0000:00/0000:00:14.0/usb1/%u-%u", kBus,
                            static_cast<unsigned>(d->address.port));
        devices.push_back(std::move(d));
        Place(*devices.back(), NextAddress(), index);
        return index;
    }

    std::uint32_t NextAddress() {
        // As the kernel does: the next free address after the last one given,
        // wrapping around past 127.
        for (;;) {
            lastAddress = lastAddress >= kMaxDevices + 1 ? 2 : lastAddress + 1;
            const bool taken = std::any_of(devices.begin(), devices.end(), [&](const auto& d) {
                return d->address.device == lastAddress;
            });
            if (!taken) {
                return lastAddress;
            }
        }
    }

    // Gives the device `address`: its node, its testbed record and a
    // handler attached to the node. Called with mu held.
    void Place(Device& d, std::uint32_t address, std::size_t index);

    void UnplugLocked(Device& d) {
        if (!d.plugged) {
            return;
        }
        d.model->Unplug();
        d.handler->Disconnect();
        // As with the kernel, the device is off the bus's list and out of
        // /dev before the "remove" event (made from its sysfs folder, which
        // goes after), so a program listing the devices on the event no
        // longer finds it. Files open on the node get ENODEV from the
        // handler, which stays attached.
        std::remove((root + "/sys/bus/usb/devices/" + BaseName(d.sysPath)).c_str());
        std::remove((root + d.devNode).c_str());
        umockdev_testbed_uevent(testbed.get(), d.sysPath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed.get(), d.sysPath.c_str());
        d.plugged = false;
    }

    void RunUnplugger() {
        std::unique_lock lock(gone->mu);
        for (;;) {
            gone->cv.wait(lock, [&] { return gone->stop || !gone->pending.empty(); });
            if (gone->stop) {
                return;
            }
            const std::size_t index = gone->pending.front();
            gone->pending.pop_front();
            gone->busy = true;
            lock.unlock();
            {
                std::lock_guard devicesLock(mu);
                // A device plugged back in since it answered "gone" stays.
                if (index < devices.size() && !devices[index]->model->Present()) {
                    UnplugLocked(*devices[index]);
                }
            }
            lock.lock();
            gone->busy = false;
            gone->cv.notify_all();
        }
    }
};

UsbHost::UsbHost() : impl_(std::make_unique<Impl>()) {
    impl_->testbed.reset(umockdev_testbed_new());
    if (!impl_->testbed) {
        throw std::runtime_error("cannot create the umockdev testbed");
    }
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed.get());
    impl_->root = root;
    g_free(root);
    impl_->unplugger = std::thread([impl = impl_.get()] { impl->RunUnplugger(); });
}

UsbHost::~UsbHost() {
    {
        std::lock_guard lock(impl_->gone->mu);
        impl_->gone->stop = true;
    }
    impl_->gone->cv.notify_all();
    impl_->unplugger.join();
    // Replies still held back go out now, while the testbed can carry them:
    // no client is left waiting in an ioctl, and no job outlives the host.
    impl_->timer->Stop();
    std::lock_guard lock(impl_->mu);
    // Every handler stays attached from the first plug on: files opened
    // on an unplugged device must keep getting ENODEV, and a client whose
    // handler is detached loses its ioctl connection altogether.
    for (const auto& [node, handler] : impl_->handlers) {
        impl_->Detach(node);
    }
    // The testbed goes first: it stops its thread, the last caller of the
    // handlers, and removes its folder.
    impl_->testbed.reset();
}

std::size_t UsbHost::Plug(UsbIds ids, std::shared_ptr<BeamformerModel> model) {
    std::lock_guard lock(impl_->mu);
    const std::size_t index = impl_->Add(std::move(ids), std::move(model));
    Impl::Device& d = *impl_->devices[index];
    impl_->AddToTestbed(d);
    d.plugged = d.everPlugged = true;
    return index;
}

std::size_t UsbHost::AddUnplugged(UsbIds ids, std::shared_ptr<BeamformerModel> model) {
    std::lock_guard lock(impl_->mu);
    const std::size_t index = impl_->Add(std::move(ids), std::move(model));
    // Until it arrives, the device answers nothing.
    impl_->devices[index]->model->Unplug();
    return index;
}

void UsbHost::Impl::Place(Device& d, std::uint32_t address, std::size_t index) {
    d.address.device = address;
    const UsbIds& ids = d.ids;
    const std::string node = Format("bus/usb/%03u/%03u", kBus, address);
    d.devNode = "/dev/" + node;
    const std::vector<std::uint8_t> descriptors = BuildDescriptors(ids);
    const unsigned minor = (kBus - 1) * 128 + (address - 1);
    // Attributes as the kernel shows them (hex ids with a newline, libusb
    // warns without it); properties as udev's rules would add them.
    d.record =
        "P: " + d.sysPath.substr(4) + "\n" +                                         //
        "N: " + node + "=" + Hex(descriptors) + "\n" +                               //
        "E: DEVNAME=" + d.devNode + "\n" +                                           //
        "E: DEVTYPE=usb_device\n"                                                    //
        "E: DRIVER=usb\n"                                                            //
        "E: SUBSYSTEM=usb\n" +                                                       //
        Format("E: MAJOR=%u\nE: MINOR=%u\n", kUsbDeviceMajor, minor) +               //
        Format("E: PRODUCT=%x/%x/%x\n", ids.vendor, ids.product, ids.revision) +     //
        "E: TYPE=0/0/0\n" +                                                          //
        Format("E: BUSNUM=%03u\nE: DEVNUM=%03u\n", kBus, address) +                  //
        Format("E: ID_VENDOR_ID=%04x\nE: ID_MODEL_ID=%04x\nE: ID_REVISION=%04x\n",   //
               ids.vendor, ids.product, ids.revision) +                              //
        Format("A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=%04x\\n\n",  //
               ids.vendor, ids.product, ids.revision) +                              //
        Format("A: busnum=%u\\n\nA: devnum=%u\\n\n", kBus, address) +                //
        (ids.serial ? "E: ID_SERIAL_SHORT=" + *ids.serial + "\nA: serial=" + *ids.serial + "\\n\n"
                    : std::string()) +
        "A: speed=480\\n\n"                                                    //
        "A: version= 2.00\\n\n"                                                //
        "A: bDeviceClass=00\\n\n"                                              //
        "A: bNumConfigurations=1\\n\n"                                         //
        "A: bNumInterfaces= 1\\n\n"                                            //
        "A: bConfigurationValue=1\\n\n"                                        //
        "A: bMaxPacketSize0=64\\n\n"                                           //
        "A: maxchild=0\\n\n" +                                                 //
        Format("A: devpath=%u\\n\n", static_cast<unsigned>(d.address.port)) +  //
        "H: descriptors=" +
        Hex(descriptors) + "\n";
    // A node keeps the handler last attached to it: files still open on it
    // must keep getting ENODEV. Only when the addresses wrap around does a
    // node get a handler of its own device again.
    auto& slot = handlers[d.devNode];
    if (slot) {
        Detach(d.devNode);
    }
    slot = std::make_unique<UsbfsHandler>(
        d.model, d.address, ids, [gone = gone, index] { gone->Push(index); }, timer);
    d.handler = slot.get();
    GError* raw = nullptr;
    const gboolean attached =
        umockdev_testbed_attach_ioctl(testbed.get(), d.devNode.c_str(), d.handler->object(), &raw);
    Check(attached, raw, "cannot emulate " + d.devNode);
}

void UsbHost::Unplug(std::size_t index) {
    std::lock_guard lock(impl_->mu);
    impl_->UnplugLocked(impl_->At(index));
}

void UsbHost::Replug(std::size_t index) {
    std::lock_guard lock(impl_->mu);
    Impl::Device& d = impl_->At(index);
    if (d.plugged) {
        return;
    }
    if (d.everPlugged) {
        impl_->Place(d, impl_->NextAddress(), index);
    }
    d.model->Replug();
    impl_->AddToTestbed(d);
    d.plugged = d.everPlugged = true;
}

void UsbHost::Settle() {
    std::unique_lock lock(impl_->gone->mu);
    impl_->gone->cv.wait(lock, [&] { return impl_->gone->pending.empty() && !impl_->gone->busy; });
}

std::size_t UsbHost::RequestsInFlight() const {
    std::lock_guard lock(impl_->mu);
    std::size_t n = 0;
    for (const auto& [node, handler] : impl_->handlers) {
        n += handler->RequestsInFlight();
    }
    return n;
}

std::size_t UsbHost::DeviceCount() const {
    std::lock_guard lock(impl_->mu);
    return impl_->devices.size();
}

bool UsbHost::Plugged(std::size_t index) const {
    std::lock_guard lock(impl_->mu);
    return impl_->At(index).plugged;
}

UsbIds UsbHost::Ids(std::size_t index) const {
    std::lock_guard lock(impl_->mu);
    return impl_->At(index).ids;
}

std::uint32_t UsbHost::BusNumber(std::size_t index) const {
    std::lock_guard lock(impl_->mu);
    return impl_->At(index).address.bus;
}

std::uint32_t UsbHost::Address(std::size_t index) const {
    std::lock_guard lock(impl_->mu);
    return impl_->At(index).address.device;
}

std::string UsbHost::DeviceNode(std::size_t index) const {
    std::lock_guard lock(impl_->mu);
    return impl_->At(index).devNode;
}

std::string UsbHost::SysPath(std::size_t index) const {
    std::lock_guard lock(impl_->mu);
    return impl_->At(index).sysPath;
}

std::shared_ptr<BeamformerModel> UsbHost::Model(std::size_t index) const {
    std::lock_guard lock(impl_->mu);
    return impl_->At(index).model;
}

std::string UsbHost::Root() const {
    return impl_->root;
}

}  // namespace sovra::sim
