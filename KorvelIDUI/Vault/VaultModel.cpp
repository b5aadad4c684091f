#include "Vault/VaultModel.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QLocale>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Localization/Localization.h"
#include "Support/Async.h"
#include "Support/FileIO.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/OpenedCopies.h"
#include "Vault/SerialWorker.h"
#include "Vault/VaultAccess.h"
#include "Vault/VaultCrypto.h"

namespace fs = std::filesystem;

namespace {
// Copies a decrypted scratch file to where the user asked, atomically and owner-only (it is plain
// text of something the user chose to keep secret).
void copyFileAtomically(const fs::path& from, const fs::path& to) {
    const int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) throw FileError(std::string("Could not read the decrypted copy: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    FileWriter::system().streamAtomically(to, [fd](const ByteSink& sink) {
        std::vector<std::uint8_t> buffer(1 << 20);
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw FileError(std::string("Could not read the decrypted copy: ") + std::strerror(errno));
            if (n == 0) return;
            sink(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
        }
    });
}

void removeQuietly(const fs::path& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
}
}  // namespace

VaultModel::VaultModel(QObject* parent)
    : QAbstractListModel(parent),
      opener_([this](const QUrl& url) { return openOnDesktop(url); }),
      replies_(std::make_shared<Replies>()) {
    replies_->model = this;
    // A test of the whole program shortens the copies' minute (and its editor's wait) to seconds.
    if (const QByteArray ms = qgetenv("KORVEL_TEST_OPENED_COPY_LIFETIME_MS"); !ms.isEmpty())
        copyLifetime_ = std::chrono::milliseconds(ms.toLongLong());
    copyWatch_.setInterval(1000);
    connect(&copyWatch_, &QTimer::timeout, this, &VaultModel::checkCopies);
    connect(&VaultAccess::events(), &VaultEvents::lockedBySystem, this, [this] {
        asking_.clear();  // the copies asked about were saved beside their items
        setError({});
        refresh();
    });
}

VaultModel::~VaultModel() {
    // Queued jobs still run; their replies are dropped from here on. A reply posted before this
    // point is discarded with the object's pending events.
    std::lock_guard lock(replies_->mutex);
    replies_->model = nullptr;
}

int VaultModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

QVariant VaultModel::data(const QModelIndex& index, int role) const {
    const VaultItem* item = itemAt(index.row());
    if (!item || index.parent().isValid()) return {};
    switch (role) {
    case Qt::DisplayRole: {
        // Files stored twice under one name are numbered, oldest first, so the rows differ.
        const auto same = [item](const VaultItem& other) { return other.name == item->name; };
        if (std::count_if(items_.begin(), items_.end(), same) < 2) return QString::fromStdString(item->name);
        const auto older = std::count_if(items_.begin() + index.row(), items_.end(), same);
        return QStringLiteral("%1 (%2)").arg(QString::fromStdString(item->name)).arg(older);
    }
    case DetailsRole:
        return detailsLine(*item);
    case IconNameRole:
        return iconName(item->name);
    default:
        return {};
    }
}

Qt::ItemFlags VaultModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QStringList VaultModel::mimeTypes() const { return {QStringLiteral("text/uri-list")}; }

Qt::DropActions VaultModel::supportedDropActions() const { return Qt::CopyAction; }

bool VaultModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int, int, const QModelIndex&) const {
    return isUnlocked_ && data && data->hasUrls();
}

bool VaultModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                              const QModelIndex& parent) {
    if (!canDropMimeData(data, action, row, column, parent)) return false;
    handleDrop(data->urls());
    return true;
}

void VaultModel::runOnWorker(std::function<void()> job, std::function<void(std::exception_ptr)> done) {
    if (busy_++ == 0) Q_EMIT busyChanged();
    VaultAccess::worker().post([replies = replies_, job = std::move(job), done = std::move(done)]() mutable {
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(replies->mutex);
        VaultModel* self = replies->model;
        if (!self) return;
        QMetaObject::invokeMethod(self, [self, failure, done = std::move(done)] {
            if (--self->busy_ == 0) Q_EMIT self->busyChanged();
            if (done) done(failure);
        }, Qt::QueuedConnection);
    });
}

void VaultModel::refresh() {
    struct Snapshot {
        bool setUp = false, unlocked = false;
        VaultListing listing;
    };
    auto snap = std::make_shared<Snapshot>();
    runOnWorker([snap] {
        snap->setUp = KorvelIDVault::isSetUp();
        snap->unlocked = KorvelIDVault::isUnlocked();
        if (snap->unlocked) snap->listing = KorvelIDVault::listing();
    }, [this, snap](std::exception_ptr failure) {
        if (failure) return setError(describe(failure));
        applySnapshot(snap->setUp, snap->unlocked, std::move(snap->listing));
    });
}

void VaultModel::applySnapshot(bool setUp, bool unlocked, VaultListing listing) {
    if (listing.items != items_) {
        beginResetModel();
        items_ = std::move(listing.items);
        endResetModel();
    }
    // The list stays empty for a damaged index, but it must not read as an empty vault.
    QString problem = listing.indexDamaged ? qL("vault.indexDamaged")
                      : !listing.sharedBlobs.empty() ? qL("vault.sharedBlobs")
                                                     : QString();
    if (problem != folderProblem_) {
        folderProblem_ = std::move(problem);
        Q_EMIT errorChanged();
    }
    if (setUp != isSetUp_ || unlocked != isUnlocked_) {
        isSetUp_ = setUp;
        isUnlocked_ = unlocked;
        Q_EMIT stateChanged();
    }
}

void VaultModel::setUp() {
    if (isWorking_) return;
    setError({});
    setWorking(true);
    // The prompt belongs to the main thread; the worker is held so nothing else touches the store
    // while the facade creates the vault.
    VaultAccess::exclusive(this, [this](std::function<void()> release) {
        Async::whenFinished(KorvelIDVault::setUp(), [self = QPointer(this), release](const QFuture<void>& f) {
            release();
            if (!self) return;
            try {
                QFuture<void>(f).waitForFinished();
                self->refresh();
            } catch (...) {
                self->setError(describe(std::current_exception()));
            }
            self->setWorking(false);
        });
    });
}

void VaultModel::unlock() {
    if (isWorking_) return;
    setError({});
    setWorking(true);
    VaultAccess::exclusive(this, [this](std::function<void()> release) {
        Async::whenFinished(KorvelIDVault::unlock(), [self = QPointer(this), release](const QFuture<bool>& f) {
            release();
            if (!self) return;
            if (!Async::valueOr(f, false)) self->setError(qL("vault.unlockFailed"));
            self->refresh();
            self->setWorking(false);
        });
    });
}

void VaultModel::lock(bool answered) {
    // Locking deletes every copy: changed ones only once the user has said what becomes of them.
    if (!answered) {
        if (const auto changed = changedCopies(); !changed.empty()) {
            asking_ = changed;  // the page asks about each now; the watch leaves them alone meanwhile
            return Q_EMIT lockWaitsForAnswers();
        }
    }
    // A message about the unlocked vault's files means nothing once it is locked.
    setError({});
    // Queued behind whatever runs, so a running export finishes before the copies are deleted. A
    // copy still changed by then (its save failed, or it was saved again meanwhile) is asked about
    // again instead of deleted.
    auto changedMeanwhile = std::make_shared<bool>(false);
    runOnWorker([changedMeanwhile] {
        if (!VaultAccess::openedCopies().changed().empty()) *changedMeanwhile = true;
        else KorvelIDVault::lock();
    }, [this, changedMeanwhile](std::exception_ptr) {
        refresh();
        if (*changedMeanwhile) lock(false);
    });
}

void VaultModel::addURLs(const QList<QUrl>& urls) {
    setError({});
    std::vector<fs::path> paths;
    for (const QUrl& url : urls)
        if (url.isLocalFile()) paths.emplace_back(url.toLocalFile().toStdString());
    runOnWorker([paths] {
        for (const auto& path : paths) KorvelIDVault::add(path);
    }, [this](std::exception_ptr failure) {
        if (failure) return setError(describe(failure));
        refresh();
    });
}

void VaultModel::handleDrop(const QList<QUrl>& urls) {
    for (const QUrl& url : urls)
        if (url.isLocalFile()) addURLs({url});
}

void VaultModel::open(int row) {
    const VaultItem* item = itemAt(row);
    if (!item) return;
    setError({});
    auto copy = std::make_shared<VaultStore::OpenedCopy>();
    runOnWorker([item = *item, copy] { *copy = KorvelIDVault::store().openCopy(item); },
                [this, item = *item, copy](std::exception_ptr failure) {
                    if (failure) return setError(describe(failure));
                    const auto id = VaultAccess::openedCopies().add(item, *copy);
                    openingName_ = QString::fromStdString(item.name);
                    if (!opener_(QUrl::fromLocalFile(QString::fromStdString(copy->file.string()))))
                        setError(qL("vault.openFailed").replace(QStringLiteral("%@"), openingName_));
                    copyWatch_.start();
                    QTimer::singleShot(copyLifetime_, this, [id] {
                        VaultAccess::worker().post([id] { VaultAccess::openedCopies().expire(id); });
                    });
                });
}

void VaultModel::checkCopies() {
    auto& copies = VaultAccess::openedCopies();
    if (copies.ids().empty()) return copyWatch_.stop();
    for (const auto id : copies.unasked()) {
        if (std::find(asking_.begin(), asking_.end(), id) != asking_.end()) continue;
        asking_.push_back(id);
        Q_EMIT copyChanged(id);
    }
}

std::vector<std::uint64_t> VaultModel::changedCopies() const { return VaultAccess::openedCopies().changed(); }

QString VaultModel::copyName(std::uint64_t copy) const {
    const auto item = VaultAccess::openedCopies().item(copy);
    return item ? QString::fromStdString(item->name) : QString();
}

void VaultModel::resolveCopy(std::uint64_t id, CopyAnswer answer) {
    std::erase(asking_, id);
    auto& copies = VaultAccess::openedCopies();
    const auto item = copies.item(id);
    if (!item) return;
    switch (answer) {
    case CopyAnswer::keepForNow: return copies.markAsked(id);
    case CopyAnswer::discard: return VaultAccess::worker().post([id] { VaultAccess::openedCopies().discard(id); });
    case CopyAnswer::replace:
    case CopyAnswer::keepBoth: break;
    }
    const bool replace = answer == CopyAnswer::replace;
    runOnWorker([id, item = *item, replace] {
        auto& tracked = VaultAccess::openedCopies();
        const auto file = tracked.changes(id);
        if (!file) return tracked.discard(id);
        // The changed content is added first, so a failure part-way loses nothing; the item it
        // replaces goes only after.
        KorvelIDVault::store().addFile(*file, {}, replace ? item.name : std::string());
        if (replace) KorvelIDVault::remove(item);
        // Another file the editor saved beside the copy is asked about next, not deleted unseen.
        tracked.saved(id, *file);
        if (!tracked.changes(id)) tracked.discard(id);
    }, [this](std::exception_ptr failure) {
        if (failure) return setError(describe(failure));
        refresh();
    });
}

void VaultModel::exportItem(const Uuid& id, const fs::path& destination) {
    const VaultItem* item = itemAt(rowOf(id));
    if (!item) return;
    setError({});
    runOnWorker([item = *item, destination] {
        const fs::path copy = KorvelIDVault::exportToTemp(item);
        try {
            copyFileAtomically(copy, destination);
        } catch (...) {
            removeQuietly(copy);
            throw;
        }
        removeQuietly(copy);
    }, [this, destination](std::exception_ptr failure) {
        if (failure) return setError(describe(failure));
        setNotice(qL("vault.exported").replace(QStringLiteral("%@"), QString::fromStdString(destination.string())));
    });
}

void VaultModel::remove(const Uuid& id) {
    const VaultItem* item = itemAt(rowOf(id));
    if (!item) return;
    runOnWorker([item = *item] { KorvelIDVault::remove(item); }, [this](std::exception_ptr failure) {
        if (failure) return setError(describe(failure));
        refresh();
    });
}

void VaultModel::waitForWorker() { VaultAccess::worker().waitIdle(); }

void VaultModel::setError(QString error) {
    if (error == error_ && notice_.isEmpty()) return;
    error_ = std::move(error);
    notice_.clear();
    Q_EMIT errorChanged();
}

void VaultModel::setNotice(QString notice) {
    error_.clear();
    notice_ = std::move(notice);
    Q_EMIT errorChanged();
}

bool VaultModel::openOnDesktop(const QUrl& url) {
    // xdg-open says when no application takes the file (a non-zero exit); QDesktopServices would
    // only say whether xdg-open started. It may run until the opening application closes.
    auto* process = new QProcess(this);
    connect(process, &QProcess::finished, this, [this, process, name = openingName_](int code, QProcess::ExitStatus status) {
        process->deleteLater();
        if (status != QProcess::NormalExit || code != 0) setError(qL("vault.openFailed").replace(QStringLiteral("%@"), name));
    });
    connect(process, &QProcess::errorOccurred, this, [process, url](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart) return;
        process->deleteLater();
        QDesktopServices::openUrl(url);
    });
    process->start(QStringLiteral("xdg-open"), {url.toLocalFile()});
    return true;
}

void VaultModel::setWorking(bool working) {
    if (working == isWorking_) return;
    isWorking_ = working;
    Q_EMIT workingChanged();
}

const VaultItem* VaultModel::itemAt(int row) const {
    if (row < 0 || row >= static_cast<int>(items_.size())) return nullptr;
    return &items_[static_cast<std::size_t>(row)];
}

int VaultModel::rowOf(const Uuid& id) const {
    const auto found = std::find_if(items_.begin(), items_.end(), [&](const VaultItem& i) { return i.id == id; });
    return found == items_.end() ? -1 : int(found - items_.begin());
}

QString VaultModel::iconName(const std::string& fileName) {
    const auto dot = fileName.rfind('.');
    if (dot == std::string::npos) return QStringLiteral("doc");
    const QString ext = QString::fromStdString(fileName.substr(dot + 1)).toLower();
    if (ext == u"pdf") return QStringLiteral("doc.richtext");
    if (ext == u"png" || ext == u"jpg" || ext == u"jpeg" || ext == u"gif" || ext == u"heic")
        return QStringLiteral("photo");
    if (ext == u"txt" || ext == u"md" || ext == u"rtf") return QStringLiteral("doc.text");
    if (ext == u"zip" || ext == u"dmg") return QStringLiteral("shippingbox");
    return QStringLiteral("doc");
}

QString VaultModel::detailsLine(const VaultItem& item) {
    // Dates and sizes in the language the window speaks, not the system's.
    const QLocale locale(QString::fromStdString(rawValue(Localizer::shared().language())));
    const QDateTime added = QDateTime::fromMSecsSinceEpoch(Timestamp::unixMillis(item.addedAt));
    return locale.formattedDataSize(item.byteCount, 1, QLocale::DataSizeSIFormat) + QStringLiteral(" · ") +
           locale.toString(added, QLocale::ShortFormat);
}

QString VaultModel::describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const VaultError& e) {
        using Code = VaultError::Code;
        switch (e.code()) {
        case Code::notInitialized: return qL("vault.errNotSetUp");
        case Code::alreadyInitialized: return qL("vault.errAlreadySetUp");
        case Code::locked: return qL("vault.errLocked");
        case Code::itemNotFound: return qL("vault.errItemNotFound");
        case Code::io: break;
        }
        // The store's own messages have translations; the system's are shown as it gives them.
        const std::pair<const char*, const char*> known[] = {{VaultStore::indexUnreadableMessage, "vault.errIndexUnreadable"},
                                                             {VaultStore::indexDamagedMessage, "vault.errIndexDamaged"},
                                                             {VaultStore::deviceKeyMessage, "vault.errDeviceKey"}};
        QString detail = QString::fromStdString(e.message());
        for (const auto& [english, key] : known)
            if (e.message() == english) detail = qL(key);
        return qL("vault.errStorage").replace(QStringLiteral("%@"), detail);
    } catch (const CryptoError& e) {
        using Code = CryptoError::Code;
        switch (e.code()) {
        case Code::keychainFailure: return qL("vault.errKeyring").replace(QStringLiteral("%d"), QString::number(e.status()));
        case Code::noVaultKey: return qL("vault.errNoVaultKey");
        case Code::wrongPassword: return qL("vault.errWrongPassword");
        case Code::corrupted: return qL("vault.errCorrupted");
        }
        return QString::fromStdString(e.description());
    } catch (const FileError& e) {
        // The store's file messages name the file; the system's own reason stays as it gives it.
        static const QRegularExpression pattern(QStringLiteral("^The file “(.*)” (couldn’t be opened: (.*)|is too large for the vault.*)$"));
        const QRegularExpressionMatch m = pattern.match(QString::fromStdString(e.what()));
        if (!m.hasMatch()) return QString::fromStdString(e.what());
        const QString name = m.captured(1), reason = m.captured(3);
        if (m.captured(2).startsWith(QStringLiteral("is too large"))) return qL("vault.errTooLarge").replace(QStringLiteral("%@"), name);
        if (reason == QStringLiteral("it is not a regular file.")) return qL("vault.errNotRegular").replace(QStringLiteral("%@"), name);
        return qL("vault.errCannotOpen").replace(QStringLiteral("%@"), name) + QStringLiteral(" (") + reason + QStringLiteral(")");
    } catch (const std::exception& e) {
        return QString::fromStdString(e.what());
    } catch (...) {
        return qL("vault.errUnknown");
    }
}
