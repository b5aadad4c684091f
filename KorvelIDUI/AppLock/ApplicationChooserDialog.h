#pragma once
// The application chooser of the app-lock page: the installed applications (desktop entries,
// with name and icon) in one list, sorted by name, several selectable, a search field, and the
// confirm button "Lock". This program itself is not offered.
#include <QDialog>

#include <vector>

#include "AppLock/InstalledApplication.h"

class QDialogButtonBox;
class QLineEdit;
class QListView;
class QPushButton;
class QSortFilterProxyModel;
class QStandardItemModel;

class ApplicationChooserDialog : public QDialog {
    Q_OBJECT

public:
    ApplicationChooserDialog(std::vector<InstalledApplication> applications, QWidget* parent = nullptr);

    // The selected applications in the list's order.
    std::vector<InstalledApplication> chosen() const;
    // Selects the applications with these IDs (and only those); unknown IDs are ignored.
    void select(const std::vector<std::string>& ids);
    int offeredCount() const;

private:
    void retranslate();
    void updateConfirm();

    std::vector<InstalledApplication> applications_;
    QStandardItemModel* items_ = nullptr;
    QSortFilterProxyModel* filtered_ = nullptr;
    QLineEdit* search_ = nullptr;
    QListView* list_ = nullptr;
    QDialogButtonBox* buttons_ = nullptr;
    QPushButton* confirm_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
