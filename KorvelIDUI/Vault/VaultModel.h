#pragma once
// The vault page's state and actions over KorvelIDVault. Every store operation (listing, adding,
// opening, exporting, removing, locking) runs on the application's one vault worker (VaultAccess); results come back to
// the main thread as queued calls. The list accepts dropped files itself. Qt Core and the kit only.
#include <QAbstractListModel>
#include <QList>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Vault/VaultStore.h"

class VaultModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(bool isSetUp READ isSetUp NOTIFY stateChanged)
    Q_PROPERTY(bool isUnlocked READ isUnlocked NOTIFY stateChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QString notice READ notice NOTIFY errorChanged)
    Q_PROPERTY(QString folderProblem READ folderProblem NOTIFY errorChanged)
    Q_PROPERTY(bool isWorking READ isWorking NOTIFY workingChanged)
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY busyChanged)

public:
    enum Role { DetailsRole = Qt::UserRole + 1, IconNameRole };
    // Hands a decrypted copy to the desktop (xdg-open by default); false when that failed at once.
    using Opener = std::function<bool(const QUrl&)>;

    explicit VaultModel(QObject* parent = nullptr);
    ~VaultModel() override;

    bool isSetUp() const { return isSetUp_; }
    bool isUnlocked() const { return isUnlocked_; }
    const QString& error() const { return error_; }
    // What the last action did, when it has nothing else to show (an export); cleared with the
    // error, announced by errorChanged.
    const QString& notice() const { return notice_; }
    // What is wrong with the vault's folder while unlocked (a damaged index, shared blobs); stays
    // until mended.
    const QString& folderProblem() const { return folderProblem_; }
    // Set-up or unlocking runs.
    bool isWorking() const { return isWorking_; }
    // The worker has store work queued or running (a large file is being added or exported).
    bool isBusy() const { return busy_ > 0; }
    const std::vector<VaultItem>& items() const { return items_; }
    // The row now showing the item, or -1 once it is gone.
    int rowOf(const Uuid& id) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                         const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;

    void refresh();
    void setUp();
    void unlock();
    // Emits lockWaitsForAnswers instead while an opened copy holds changes, unless `answered`.
    void lock(bool answered = false);
    // In order; stops at the first failure (its message shown, no refresh); refreshes when all worked.
    void addURLs(const QList<QUrl>& urls);
    // Each dropped file on its own, as if added one after another; URLs that name no local file
    // are skipped.
    void handleDrop(const QList<QUrl>& urls);
    // Decrypts the row's item into a copy of its own and hands it to the desktop. The copy is deleted
    // after its lifetime only when nobody changed it; a change (or a file saved beside it) is
    // announced by copyChanged and waits for resolveCopy.
    void open(int row);
    enum class CopyAnswer { replace, keepBoth, keepForNow, discard };
    void resolveCopy(std::uint64_t copy, CopyAnswer answer);
    // The changed copies that locking would delete; the page asks about each before lock(true).
    std::vector<std::uint64_t> changedCopies() const;
    QString copyName(std::uint64_t copy) const;
    // By id, not row: the rows may have moved while the user answered a dialog. An item gone by
    // then is left alone.
    void exportItem(const Uuid& id, const std::filesystem::path& destination);
    void remove(const Uuid& id);

    void setOpener(Opener opener) { opener_ = std::move(opener); }
    // How long an opened copy stays in the scratch folder.
    void setOpenedCopyLifetime(std::chrono::milliseconds lifetime) { copyLifetime_ = lifetime; }
    // Blocks until the worker has run everything queued so far (tests, benchmarks). Not while a
    // set-up or unlock runs: the worker waits for the main thread then.
    void waitForWorker();

    // The icon meaning for a file name: "doc.richtext", "photo", "doc.text", "shippingbox" or "doc".
    static QString iconName(const std::string& fileName);
    // "<size> · <date>": SI size, short date and time in the current locale.
    static QString detailsLine(const VaultItem& item);
    // The text shown for a failure.
    static QString describe(const std::exception_ptr& failure);

Q_SIGNALS:
    void stateChanged();
    void errorChanged();
    void workingChanged();
    void busyChanged();
    // An opened copy was changed (or a file appeared beside it): ask, then resolveCopy.
    void copyChanged(quint64 copy);
    // lock() found changed copies: ask about changedCopies(), then lock(true) unless one is kept.
    void lockWaitsForAnswers();

private:
    // Runs `job` on the worker; `done` is called on the main thread with its failure (or null).
    void runOnWorker(std::function<void()> job, std::function<void(std::exception_ptr)> done);
    void applySnapshot(bool setUp, bool unlocked, VaultListing listing);
    void setError(QString error);
    void setNotice(QString notice);
    bool openOnDesktop(const QUrl& url);
    void setWorking(bool working);
    const VaultItem* itemAt(int row) const;

    bool isSetUp_ = false;
    bool isUnlocked_ = false;
    std::vector<VaultItem> items_;
    QString error_;
    QString notice_;
    QString folderProblem_;
    QString openingName_;  // the item the desktop is opening, for its failure message
    bool isWorking_ = false;
    int busy_ = 0;
    Opener opener_;
    std::chrono::milliseconds copyLifetime_{60'000};
    // Looks for changes in the opened copies while there are any.
    QTimer copyWatch_;
    std::vector<std::uint64_t> asking_;
    void checkCopies();
    // Where the worker's replies go; cleared when the model is destroyed.
    struct Replies {
        std::mutex mutex;
        VaultModel* model = nullptr;
    };
    std::shared_ptr<Replies> replies_;
};
