#pragma once
// "Use my face for sudo and the login screen": a self-contained part of the General tab that
// enrols, re-enrols and removes this account's face at the system face service. It only lays out
// and shows SystemFaceModel.
#include <QGroupBox>

class QLabel;
class QLineEdit;
class QPushButton;
class SystemFaceModel;

class SystemFaceSection : public QGroupBox {
    Q_OBJECT

public:
    explicit SystemFaceSection(QWidget* parent = nullptr);
    SystemFaceModel& model() { return *model_; }

private:
    void retranslate();
    void refresh();

    SystemFaceModel* model_;
    QLabel* status_;
    QLabel* note_;
    QLabel* passwordLabel_;
    QLineEdit* password_;
    QPushButton* enroll_;
    QPushButton* remove_;
    QLabel* message_;
};
