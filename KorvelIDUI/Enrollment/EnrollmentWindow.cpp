#include "Enrollment/EnrollmentWindow.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "Auth/KeyringLockedNotice.h"
#include "Enrollment/EnrollmentPreviewView.h"
#include "Enrollment/EnrollmentViewModel.h"
#include "Localization/Localization.h"

namespace {
const QColor doneGreen(52, 199, 89);

QFont sizedFont(const QFont& base, int pixelSize, bool bold = false) {
    QFont font = base;
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}
}  // namespace

EnrollmentWindow::EnrollmentWindow(EnrollmentViewModel& model, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      model_(&model) {
    setObjectName("enrollmentWindow");
    connect(&model, &QObject::destroyed, this, [this] { model_ = nullptr; });

    title_ = new QLabel(this);
    title_->setObjectName("titleLabel");
    title_->setFont(sizedFont(font(), 18, true));
    title_->setAlignment(Qt::AlignCenter);

    preview_ = new EnrollmentPreviewView(this);

    progress_ = new QProgressBar(this);
    progress_->setObjectName("progressBar");
    progress_->setFixedWidth(EnrollmentPreviewView::previewWidth);
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);

    status_ = new QLabel(this);
    status_->setObjectName("statusLabel");
    status_->setFont(sizedFont(font(), 12));
    // Two lines of the usual texts; the longer camera-permission advice may take a third rather
    // than be cut off.
    status_->setMinimumHeight(32);
    status_->setAlignment(Qt::AlignCenter);
    status_->setWordWrap(true);
    status_->setForegroundRole(QPalette::PlaceholderText);

    error_ = new QLabel(this);
    error_->setObjectName("errorLabel");
    error_->setFont(sizedFont(font(), 11));
    error_->setAlignment(Qt::AlignCenter);
    error_->setWordWrap(true);
    QPalette red = error_->palette();
    red.setColor(QPalette::WindowText, QColor(255, 59, 48));
    error_->setPalette(red);

    name_ = new QLineEdit(this);
    name_->setObjectName("nameField");
    name_->setFixedWidth(180);
    connect(name_, &QLineEdit::textEdited, &model, &EnrollmentViewModel::setName);

    button_ = new QPushButton(this);
    button_->setObjectName("actionButton");
    button_->setDefault(true);
    button_->setAutoDefault(true);
    connect(button_, &QPushButton::clicked, this, &EnrollmentWindow::buttonPressed);

    auto* controls = new QHBoxLayout;
    controls->addStretch();
    controls->addWidget(name_);
    controls->addWidget(button_);
    controls->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);
    layout->addWidget(title_);
    layout->addWidget(preview_, 0, Qt::AlignHCenter);
    layout->addWidget(progress_, 0, Qt::AlignHCenter);
    layout->addWidget(status_);
    layout->addWidget(error_);
    layout->addLayout(controls);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // no resizing

    connect(&model, &EnrollmentViewModel::changed, this, &EnrollmentWindow::refresh);
    connect(&model, &EnrollmentViewModel::keyringLocked, this, [this] { KeyringLockedNotice::show(this); });
    connect(&model, &EnrollmentViewModel::previewImageChanged, this,
            [this] { preview_->setImage(model_->previewImage()); });
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &EnrollmentWindow::retranslate);
    retranslate();
}

void EnrollmentWindow::retranslate() {
    setWindowTitle(qL("enroll.windowTitle"));
    title_->setText(qL("enroll.title"));
    name_->setPlaceholderText(qL("enroll.name"));
    refresh();
}

void EnrollmentWindow::refresh() {
    if (!model_) return;
    const bool capturing = model_->isCapturing();
    const bool done = model_->isDone();
    if (name_->text() != model_->name()) name_->setText(model_->name());
    name_->setEnabled(!capturing && !done);
    if (done) button_->setText(qL("common.done"));
    else button_->setText(qL(capturing ? "enroll.scanning" : "enroll.start"));
    button_->setEnabled(done || !capturing);

    progress_->setValue(static_cast<int>(model_->progress() * 1000 + 0.5));
    QPalette bar = progress_->palette();
    bar.setColor(QPalette::Highlight, done ? doneGreen : palette().color(QPalette::Highlight));
    progress_->setPalette(bar);
    preview_->setDone(done);

    status_->setText(model_->statusText());
    const QString error = model_->errorText();
    error_->setText(error);
    error_->setVisible(!error.isEmpty());
}

void EnrollmentWindow::buttonPressed() {
    if (!model_ || !button_->isEnabled()) return;
    if (model_->isDone()) {
        close();
        return;
    }
    model_->start();
}

void EnrollmentWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (event->isAccepted()) Q_EMIT closed();
}

void EnrollmentWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    // The button is the window's default: Return presses it wherever the focus is (the name field
    // passes Return on).
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        buttonPressed();
        return;
    }
    QWidget::keyPressEvent(event);
}
