// A small program for the launcher tests: finds the first virtual
// beamformer 0abc:0010 through libusb, makes a few flash requests, writes
// one system-log datagram the way the project's reporter does (connect and
// send on /dev/log), and exits with the status it is told.
//
//   sim_probe [--reads N] [--write] [--log TEXT] [--exit STATUS]
//
// Prints "prepare=R", "write=R" and "reads=R R ..." on stdout, R being
// what libusb_control_transfer returned.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

}  // namespace

int main(int argc, char** argv) {
    int reads = 0;
    bool write = false;
    std::string log;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--reads" && hasValue) {
            reads = std::atoi(argv[++i]);
        } else if (a == "--write") {
            write = true;
        } else if (a == "--log" && hasValue) {
            log = argv[++i];
        } else if (a == "--exit" && hasValue) {
            status = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "sim_probe: unknown argument %s\n", a.c_str());
            return 2;
        }
    }

    sovra::test::UsbContext usb;
    sovra::test::UsbHandle h(OpenFirst(usb.get()));
    if (!h) {
        std::fprintf(stderr, "sim_probe: no device 0abc:0010\n");
        return 3;
    }
    std::vector<std::uint8_t> chunk(sovra::ChunkSize, 0xA5);
    if (write) {
        std::printf("prepare=%d\n", sovra::test::UsbPrepare(h.get()));
        std::printf("write=%d\n", sovra::test::UsbWrite(h.get(), 0, chunk));
    }
    if (reads > 0) {
        std::printf("reads=");
        for (int k = 0; k < reads; ++k) {
            const auto address = static_cast<std::uint32_t>(k) * sovra::ChunkSize;
            std::printf("%s%d", k == 0 ? "" : " ", sovra::test::UsbRead(h.get(), address, chunk));
        }
        std::printf("\n");
    }
    h.reset();
    if (!log.empty()) {
        Log(log);
    }
    return status;
}
