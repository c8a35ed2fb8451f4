#include "ui/main_window.h"

#include <QListWidget>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSocketNotifier>

#include "app/event_log.h"
#include "catalogue/catalogue_location.h"

namespace sovra::ui {
namespace {

QFont MainFont() {
    return DialogFont("Microsoft Sans Serif", 10);
}

constexpr int kIconSizes[] = {16, 24, 32, 48, 256};

// The device list box: a click or a key picks a row, but nothing the user
// does clears the selection (Ctrl+click and Ctrl+Space on the selected row
// would), so Start Update always has the device last chosen.
class DeviceListWidget final : public QListWidget {
  public:
    using QListWidget::QListWidget;

  protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override {
        const QItemSelectionModel::SelectionFlags flags =
            QListWidget::selectionCommand(index, event);
        if (flags.testAnyFlags(QItemSelectionModel::Deselect | QItemSelectionModel::Toggle) ||
            (flags.testFlag(QItemSelectionModel::Clear) && !index.isValid())) {
            return QItemSelectionModel::NoUpdate;
        }
        return flags;
    }
};

}  // namespace

QIcon ApplicationIcon() {
    QIcon icon;
    for (const int size : kIconSizes) {
        icon.addFile(QStringLiteral(":/icons/sovra-firmware-update-%1.png").arg(size),
                     QSize(size, size));
    }
    return icon;
}

MainWindow::MainWindow(DialogServices services, QWidget* parent)
    : QDialog(parent, DialogWindowFlags()), services_(std::move(services)), units_(MainFont()) {
    setFont(MainFont());
    resize(units_.Size(252, 202));
    // A sizing border, but no layout: every control keeps the place the
    // template gives it, and any size goes.
    setSizeGripEnabled(false);
    setMinimumSize(0, 0);

    // Template order, which is also the tab order: OK, the device list,
    // Start Update, the firmware list.
    ok_ = MakeButton(this, 1, "OK", units_.Rect(195, 181, 50, 14));
    ok_->setDefault(true);
    topText_ = new StaticText(this, 1007, Qt::AlignHCenter);
    topText_->setGeometry(units_.Rect(7, 7, 238, 8));
    instructions_ = new StaticText(this, -1);
    instructions_->setGeometry(units_.Rect(7, 36, 238, 36));
    instructions_->setText(QString::fromLatin1(kInstructionText));
    deviceListBox_ = new DeviceListWidget(this);
    deviceListBox_->setObjectName(ControlName(1008));
    deviceListBox_->setGeometry(units_.Rect(7, 64, 238, 70));
    deviceListBox_->setSelectionMode(QAbstractItemView::SingleSelection);
    deviceListBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    deviceListBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The lists' names for a screen reader are their labels' last line.
    deviceListBox_->setAccessibleName(QStringLiteral("List of connected devices"));
    startUpdate_ = MakeButton(this, 1009, "Start Update", units_.Rect(7, 181, 50, 14));
    firmwareList_ = new EditableRowCombo(this, 1010);
    {
        // The template's height takes in the dropped-down list; the closed
        // box is as high as its font needs.
        const QRect box = units_.Rect(7, 151, 238, 125);
        const int closed = firmwareList_->sizeHint().height();
        firmwareList_->setGeometry(box.x(), box.y(), box.width(), closed);
        const int rowHeight = firmwareList_->fontMetrics().height() + 2;
        firmwareList_->setMaxVisibleItems(std::max(1, (box.height() - closed) / rowHeight));
    }
    firmwareList_->setAccessibleName(QString::fromLatin1(kFirmwareLabelText).chopped(1));
    firmwareLabel_ = new StaticText(this, -1);
    firmwareLabel_->setGeometry(units_.Rect(7, 141, 238, 8));
    firmwareLabel_->setText(QString::fromLatin1(kFirmwareLabelText));

    setTabOrder(ok_, deviceListBox_);
    setTabOrder(deviceListBox_, startUpdate_);
    setTabOrder(startUpdate_, firmwareList_);

    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(startUpdate_, &QPushButton::clicked, this, &MainWindow::StartUpdate);
    connect(deviceListBox_, &QListWidget::itemSelectionChanged, this,
            &MainWindow::OnDeviceSelectionChanged);

    icon_ = ApplicationIcon();
    if (services_.loadCatalogue) {
        catalogue_ = services_.loadCatalogue();
    }
}

MainWindow::~MainWindow() {
    // A dialog that was never run modally may still hold rows and a watch.
    StopWatchingDevices();
}

int MainWindow::Run() {
    Prepare();
    const int result = exec();
    StopWatchingDevices();
    return result;
}

void MainWindow::Prepare() {
    setWindowIcon(icon_);

    // Watch for devices before the first enumeration, so none is missed
    // between the two.
    if (services_.openDeviceSource) {
        deviceSource_ = services_.openDeviceSource();
    }
    if (deviceSource_ && deviceSource_->EventFd() >= 0) {
        notifier_ = new QSocketNotifier(deviceSource_->EventFd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &MainWindow::OnDeviceChange);
    }

    topText_->setText(QString::fromLatin1(kTopText));
    setWindowTitle(QString::fromLatin1(kMainCaption));
    ReportSystemEvent(kEventUtilityStarted);
    // Started from the menu or a file manager, the window does not say
    // where its lists come from; the log does.
    ReportSystemEvent(kEventCatalogueRead,
                      CatalogueLogText(catalogue_, CatalogueSearchEnvironment::FromProcess()));
    FillFirmwareChoices();
    EnumerateDevices();
    ok_->setFocus(Qt::OtherFocusReason);
}

void MainWindow::StopWatchingDevices() {
    if (notifier_ != nullptr) {
        notifier_->setEnabled(false);
        delete notifier_;
        notifier_ = nullptr;
    }
    deviceSource_.reset();
    ReleaseFirmwareChoices();
    ClearDeviceList();
    hide();
}

void MainWindow::FillFirmwareChoices() {
    const QSignalBlocker block(firmwareList_);
    choices_ = FirmwareChoices(catalogue_);
    for (const FirmwareChoice& choice : choices_) {
        firmwareList_->addItem(ToQString(choice.text));
    }
    // Rows are added unselected: the user must choose one.
    firmwareList_->ClearSelection();
}

void MainWindow::ReleaseFirmwareChoices() {
    const QSignalBlocker block(firmwareList_);
    firmwareList_->clear();
    choices_.clear();
}

void MainWindow::ClearDeviceList() {
    const QSignalBlocker block(deviceListBox_);
    deviceListBox_->clear();
    devices_.Clear();
}

void MainWindow::EnumerateDevices() {
    std::vector<PresentDevice> present;
    if (deviceSource_) {
        present = deviceSource_->PresentDevices();
    }
    const QSignalBlocker block(deviceListBox_);
    deviceListBox_->clear();
    devices_.Rebuild(catalogue_, present);
    for (const DeviceRow& row : devices_.Rows()) {
        deviceListBox_->addItem(ToQString(row.text));
    }
    if (devices_.Selection() >= 0) {
        deviceListBox_->setCurrentRow(devices_.Selection());
    }
    startUpdate_->setEnabled(devices_.StartUpdateEnabled());
}

void MainWindow::OnDeviceChange() {
    if (!deviceSource_) {
        return;
    }
    // Only a device the list is about rebuilds it (and so moves the
    // selection to row 0); a memory stick plugged in meanwhile must not
    // change which device Start Update updates.
    if (devices_.Concerns(catalogue_, deviceSource_->DrainEvents())) {
        EnumerateDevices();
    }
}

void MainWindow::OnDeviceSelectionChanged() {
    const QList<QListWidgetItem*> selected = deviceListBox_->selectedItems();
    devices_.Select(selected.isEmpty() ? DeviceList::kNoSelection
                                       : deviceListBox_->row(selected.front()));
}

void MainWindow::paintEvent(QPaintEvent* event) {
    if (!(windowState() & Qt::WindowMinimized)) {
        QDialog::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const QSize iconSize(kLargeIconSize, kLargeIconSize);
    const QPoint at = MinimisedIconPosition(size(), iconSize);
    icon_.paint(&painter, QRect(at, iconSize));
}

}  // namespace sovra::ui
