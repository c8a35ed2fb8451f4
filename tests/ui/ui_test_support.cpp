#include "ui_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <utility>

#include "flash/sample_image.h"
#include "ui/caution_dialog.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"

namespace sovra::testing {

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
    const std::shared_ptr<DeviceBus> b = bus;
    services.openDeviceSource = [b]() -> std::unique_ptr<DeviceSource> {
        return std::make_unique<FixedSource>(b);
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

PressedUpdate PressStartUpdate(ui::MainWindow& window) {
    PressedUpdate seen;
    const ModalDriver driver([&](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.boxes.push_back(box->text().toStdString());
            Dismiss(box);
        } else if (auto* c = dynamic_cast<ui::CautionDialog*>(modal)) {
            c->findChild<QPushButton*>("1")->click();
        } else if (auto* p = dynamic_cast<ui::ProgressDialog*>(modal); p && p->Finished()) {
            seen.result = p->MessageLabel()->text().toStdString();
            seen.operation = p->OperationLabel()->text().toStdString();
            seen.colour = p->MessageLabel()->EffectiveTextColour();
            p->CloseButton()->click();
        }
    });
    QTest::mouseClick(window.StartUpdateButton(), Qt::LeftButton);
    return seen;
}

}  // namespace sovra::testing
