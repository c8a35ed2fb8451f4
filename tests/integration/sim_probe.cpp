// A small program for the launcher tests: it lists the USB devices libudev
// sees and waits for their hot-plug events, makes a few flash requests to
// the first virtual beamformer 0abc:0010 through libusb, writes one
// system-log datagram the way the project's reporter does (connect and send
// on /dev/log), and exits with the status it is told. The actions run in
// the order given:
//
//   sim_probe [--list] [--event] [--write] [--reads N] [--log TEXT] [--exit STATUS]...
//
// Prints "list=VID:PID ..." (libudev's USB devices), "event=ACTION VID:PID"
// (the next hot-plug event; "event=none" when none comes), "prepare=R",
// "write=R" and "reads=R R ..." on stdout, R being what
// libusb_control_transfer returned.

#include <libudev.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "integration/usb_test_support.h"

namespace {

void Log(const std::string& text) {
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::send(s, text.data(), text.size(), 0) < 0) {
        std::perror("sim_probe: /dev/log");
    }
    if (s >= 0) {
        ::close(s);
    }
}

libusb_device_handle* OpenFirst(libusb_context* ctx) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < n && handle == nullptr; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x0abc &&
            d.idProduct == 0x0010 && libusb_open(list[i], &handle) != 0) {
            handle = nullptr;
        }
    }
    if (n >= 0) {
        libusb_free_device_list(list, 1);
    }
    return handle;
}

std::string Ids(udev_device* d) {
    const char* vendor = udev_device_get_property_value(d, "ID_VENDOR_ID");
    const char* product = udev_device_get_property_value(d, "ID_MODEL_ID");
    return std::string(vendor != nullptr ? vendor : "?") + ":" +
           (product != nullptr ? product : "?");
}

void List(udev* u) {
    std::unique_ptr<udev_enumerate, decltype(&udev_enumerate_unref)> e(udev_enumerate_new(u),
                                                                       udev_enumerate_unref);
    udev_enumerate_add_match_subsystem(e.get(), "usb");
    udev_enumerate_add_match_property(e.get(), "DEVTYPE", "usb_device");
    udev_enumerate_scan_devices(e.get());
    std::string line = "list=";
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(e.get()); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
        std::unique_ptr<udev_device, decltype(&udev_device_unref)> d(
            udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)), udev_device_unref);
        if (d) {
            line += line.size() > 5 ? " " : "";
            line += Ids(d.get());
        }
    }
    std::printf("%s\n", line.c_str());
}

void NextEvent(udev_monitor* monitor) {
    // The bound only keeps a failing test from hanging.
    pollfd pfd{udev_monitor_get_fd(monitor), POLLIN, 0};
    udev_device* d = ::poll(&pfd, 1, 20000) > 0 ? udev_monitor_receive_device(monitor) : nullptr;
    if (d == nullptr) {
        std::printf("event=none\n");
        return;
    }
    const char* action = udev_device_get_action(d);
    std::printf("event=%s %s\n", action != nullptr ? action : "?", Ids(d).c_str());
    udev_device_unref(d);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> actions(argv + 1, argv + argc);
    // Listening starts before anything else, so that no event is missed.
    std::unique_ptr<udev, decltype(&udev_unref)> u(udev_new(), udev_unref);
    std::unique_ptr<udev_monitor, decltype(&udev_monitor_unref)> monitor(
        u ? udev_monitor_new_from_netlink(u.get(), "udev") : nullptr, udev_monitor_unref);
    if (!monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0) {
        std::fprintf(stderr, "sim_probe: cannot monitor udev\n");
        return 4;
    }

    sovra::test::UsbContext usb;
    sovra::test::UsbHandle h;
    const auto device = [&]() -> libusb_device_handle* {
        if (!h) {
            h.reset(OpenFirst(usb.get()));
            if (!h) {
                std::fprintf(stderr, "sim_probe: no device 0abc:0010\n");
                std::exit(3);
            }
        }
        return h.get();
    };
    std::vector<std::uint8_t> chunk(sovra::ChunkSize, 0xA5);
    int status = 0;
    for (std::size_t i = 0; i < actions.size(); ++i) {
        const std::string& a = actions[i];
        const bool hasValue = i + 1 < actions.size();
        if (a == "--list") {
            List(u.get());
        } else if (a == "--event") {
            NextEvent(monitor.get());
        } else if (a == "--write") {
            std::printf("prepare=%d\n", sovra::test::UsbPrepare(device()));
            std::printf("write=%d\n", sovra::test::UsbWrite(device(), 0, chunk));
        } else if (a == "--reads" && hasValue) {
            const int reads = std::atoi(actions[++i].c_str());
            std::printf("reads=");
            for (int k = 0; k < reads; ++k) {
                const auto address = static_cast<std::uint32_t>(k) * sovra::ChunkSize;
                std::printf("%s%d", k == 0 ? "" : " ",
                            sovra::test::UsbRead(device(), address, chunk));
            }
            std::printf("\n");
        } else if (a == "--log" && hasValue) {
            Log(actions[++i]);
        } else if (a == "--exit" && hasValue) {
            status = std::atoi(actions[++i].c_str());
        } else {
            std::fprintf(stderr, "sim_probe: unknown argument %s\n", a.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return status;
}
