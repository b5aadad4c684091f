#include "Settings/SystemFaceSection.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <unistd.h>

#include "Localization/Localization.h"
#include "Settings/SystemFaceModel.h"

SystemFaceSection::SystemFaceSection(QWidget* parent) : QGroupBox(parent), model_(new SystemFaceModel(this)) {
    setObjectName(QStringLiteral("systemFaceSection"));
    auto* column = new QVBoxLayout(this);
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("systemFaceStatus"));
    status_->setWordWrap(true);
    note_ = new QLabel;
    note_->setWordWrap(true);
    note_->setForegroundRole(QPalette::PlaceholderText);
    QFont small = note_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    note_->setFont(small);
    column->addWidget(status_);
    column->addWidget(note_);

    // Root's processes are trusted by the service; everybody else proves who they are.
    auto* form = new QFormLayout;
    passwordLabel_ = new QLabel;
    password_ = new QLineEdit;
    password_->setObjectName(QStringLiteral("systemFacePassword"));
    password_->setEchoMode(QLineEdit::Password);
    form->addRow(passwordLabel_, password_);
    passwordLabel_->setVisible(::getuid() != 0);
    password_->setVisible(::getuid() != 0);
    column->addLayout(form);

    auto* buttons = new QHBoxLayout;
    enroll_ = new QPushButton;
    enroll_->setObjectName(QStringLiteral("systemFaceEnroll"));
    remove_ = new QPushButton;
    remove_->setObjectName(QStringLiteral("systemFaceRemove"));
    buttons->addWidget(enroll_);
    buttons->addWidget(remove_);
    buttons->addStretch();
    column->addLayout(buttons);
    message_ = new QLabel;
    message_->setObjectName(QStringLiteral("systemFaceMessage"));
    message_->setTextFormat(Qt::PlainText);  // the face service's own words
    message_->setWordWrap(true);
    column->addWidget(message_);

    connect(enroll_, &QPushButton::clicked, this, [this] {
        QString typed = password_->text();
        password_->clear();
        model_->enroll(std::move(typed));
    });
    connect(password_, &QLineEdit::returnPressed, enroll_, &QPushButton::click);
    connect(remove_, &QPushButton::clicked, model_, &SystemFaceModel::remove);
    connect(model_, &SystemFaceModel::changed, this, &SystemFaceSection::refresh);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &SystemFaceSection::retranslate);
    retranslate();
    model_->refresh();
}

void SystemFaceSection::retranslate() {
    setTitle(qL("general.systemFaceTitle"));
    note_->setText(qL("general.systemFaceNote"));
    passwordLabel_->setText(qL("general.systemFacePassword"));
    remove_->setText(qL("general.systemFaceRemove"));
    refresh();
}

void SystemFaceSection::refresh() {
    using P = SystemFaceModel::Phase;
    const P phase = model_->phase();
    const bool idle = phase == P::notEnrolled || phase == P::enrolled;
    switch (phase) {
    case P::checking: status_->setText(QString()); break;
    case P::unavailable: status_->setText(qL("general.systemFaceUnavailable")); break;
    case P::notEnrolled: status_->setText(qL("general.systemFaceNotEnrolled")); break;
    case P::enrolled: status_->setText(qL("general.systemFaceEnrolled")); break;
    case P::working:
        status_->setText(model_->total() > 0 ? qL("general.systemFaceCapturing")
                                                   .replace(QStringLiteral("%d/%d"), QStringLiteral("%1/%2")
                                                                                         .arg(model_->captured())
                                                                                         .arg(model_->total()))
                                             : qL("general.systemFaceWorking"));
        break;
    }
    enroll_->setText(qL(phase == P::enrolled ? "general.systemFaceReenroll" : "general.systemFaceEnroll"));
    enroll_->setEnabled(idle);
    remove_->setEnabled(phase == P::enrolled);
    remove_->setVisible(phase == P::enrolled || phase == P::working);
    password_->setEnabled(idle);
    message_->setText(model_->message());
    message_->setVisible(!model_->message().isEmpty());
}
