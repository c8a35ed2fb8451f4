#include "ui_test_support.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "flash/sample_image.h"

namespace sovra::testing {

TestBus::TestBus() : efd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (efd_ < 0) {
        throw std::runtime_error("eventfd failed");
    }
}

TestBus::~TestBus() {
    ::close(efd_);
}

void TestBus::Plug(const std::string& path, UsbIds ids) {
    {
        const std::lock_guard<std::mutex> lock(mu_);
        present_.push_back({path, ids});
        changes_.push_back({path, ids});
        pending_ = true;
    }
    const std::uint64_t one = 1;
    (void)!::write(efd_, &one, sizeof one);
}

void TestBus::Unplug(const std::string& path) {
    {
        const std::lock_guard<std::mutex> lock(mu_);
        for (const PresentDevice& d : present_) {
            if (d.path == path) {
                changes_.push_back({d.path, d.ids});
            }
        }
        std::erase_if(present_, [&](const PresentDevice& d) { return d.path == path; });
        pending_ = true;
    }
    const std::uint64_t one = 1;
    (void)!::write(efd_, &one, sizeof one);
}

void TestBus::Nudge() {
    {
        const std::lock_guard<std::mutex> lock(mu_);
        pending_ = true;
    }
    const std::uint64_t one = 1;
    (void)!::write(efd_, &one, sizeof one);
}

std::vector<PresentDevice> TestBus::Present() const {
    const std::lock_guard<std::mutex> lock(mu_);
    return present_;
}

std::vector<DeviceChange> TestBus::Drain() {
    std::uint64_t count = 0;
    (void)!::read(efd_, &count, sizeof count);
    const std::lock_guard<std::mutex> lock(mu_);
    pending_ = false;
    return std::exchange(changes_, {});
}

bool TestBus::Pending() const {
    const std::lock_guard<std::mutex> lock(mu_);
    return pending_;
}

TestDeviceSource::TestDeviceSource(std::shared_ptr<TestBus> bus) : bus_(std::move(bus)) {
    bus_->SourceOpened();
}

TestDeviceSource::~TestDeviceSource() {
    bus_->SourceClosed();
}

void TestOpener::Add(const std::string& path, std::shared_ptr<sim::BeamformerModel> model) {
    models_[path] = std::move(model);
}

void TestOpener::Refuse(const std::string& path, Status status) {
    refusals_[path] = status;
}

DeviceControl TestOpener::Open(const DeviceEntry& entry) {
    ++opens_;
    DeviceControl control;
    if (const auto r = refusals_.find(entry.path); r != refusals_.end()) {
        control.error = Error(r->second);
        return control;
    }
    const auto m = models_.find(entry.path);
    if (m == models_.end()) {
        return control;
    }
    auto channel = std::make_shared<sim::InProcessChannel>(m->second);
    last_ = channel;
    // The dialog takes a unique_ptr; the test keeps looking through `last_`.
    struct Shared final : DeviceChannel {
        std::shared_ptr<sim::InProcessChannel> inner;
        Status Transfer(const ControlSetup& cmd, std::span<std::uint8_t> data) override {
            return inner->Transfer(cmd, data);
        }
    };
    auto shared = std::make_unique<Shared>();
    shared->inner = channel;
    control.channel = std::move(shared);
    control.error = {};
    return control;
}

TempDir::TempDir() {
    char name[] = "/tmp/sovra-ui-test-XXXXXX";
    const char* made = ::mkdtemp(name);
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const std::string path = File(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
    return Write(name, std::vector<std::uint8_t>(text.begin(), text.end()));
}

TestRig::TestRig() = default;

void TestRig::WriteCatalogue(const std::vector<std::string>& deviceElements) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Device_list>\n";
    for (const std::string& element : deviceElements) {
        xml += "  <Device " + element + "/>\n";
    }
    xml += "</Device_list>\n";
    cataloguePath = dir.Write("FirmwareUpdate.xml", xml);
}

void TestRig::WriteStandardCatalogue(const std::vector<std::string>& firmwareFiles) {
    std::vector<std::string> elements;
    elements.push_back(R"(Device_Name="Beamformer 100" VID="abc" PID="10")");
    int n = 0;
    for (const std::string& file : firmwareFiles) {
        ++n;
        elements.push_back("File_Name=\"" + file + "\" REV=\"0" + std::to_string(n) +
                           ".00\" Device_Name=\"Firmware " + std::to_string(n) + "\"");
    }
    WriteCatalogue(elements);
}

std::shared_ptr<sim::BeamformerModel> TestRig::PlugModel(const std::string& path,
                                                         sim::FaultPlan faults) {
    auto model = std::make_shared<sim::BeamformerModel>(SampleDeviceFlash(), faults);
    opener->Add(path, model);
    bus->Plug(path, kKnownIds);
    return model;
}

ui::DialogServices TestRig::Services() {
    ui::DialogServices services;
    const std::string path = cataloguePath;
    services.loadCatalogue = [path] {
        return path.empty() ? FirmwareCatalogue() : FirmwareCatalogue::LoadFrom(path);
    };
    const std::shared_ptr<TestBus> b = bus;
    services.openDeviceSource = [b]() -> std::unique_ptr<DeviceSource> {
        return std::make_unique<TestDeviceSource>(b);
    };
    const std::shared_ptr<TestOpener> o = opener;
    services.openDeviceControl = [o](const DeviceEntry& e) { return o->Open(e); };
    services.startThread = startThread;
    const std::string folder = backupFolder;
    services.backupFolder = [folder] { return folder; };
    return services;
}

std::vector<std::uint8_t> SampleFirmware() {
    SampleImageOptions options;
    options.seed = 7;
    return MakeSampleImage(options);
}

std::vector<std::uint8_t> SampleDeviceFlash() {
    SampleImageOptions options;
    options.seed = 3;
    options.records = 2;
    return MakeSampleFlash(options);
}

bool PumpUntil(const std::function<bool()>& done) {
    if (done()) {
        return true;
    }
    // The loop wakes for every posted event (each request of a worker); the
    // timer only looks at the condition, so nothing sleeps between passes.
    const QDeadlineTimer deadline(60'000);
    QEventLoop loop;
    QTimer check;
    check.setInterval(1);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || deadline.hasExpired()) {
            loop.quit();
        }
    });
    check.start();
    loop.exec();
    return done();
}

ModalDriver::ModalDriver(std::function<void(QWidget*)> handler)
    : timer_(std::make_unique<QTimer>()) {
    timer_->setInterval(1);
    QObject::connect(timer_.get(), &QTimer::timeout, [handler = std::move(handler)] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            handler(modal);
        }
    });
    timer_->start();
}

ModalDriver::~ModalDriver() = default;

SeenBox Describe(QMessageBox* box) {
    SeenBox seen;
    seen.title = box->windowTitle().toStdString();
    seen.text = box->text().toStdString();
    seen.icon = box->icon();
    seen.onlyOk = box->buttons().size() == 1 && box->button(QMessageBox::Ok) != nullptr;
    return seen;
}

void Dismiss(QMessageBox* box) {
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
        ok->click();
    }
}

}  // namespace sovra::testing
