#include "Vault/VaultModel.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QLocale>
#include <QMimeData>
#include <QPointer>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Localization/Localization.h"
#include "Support/Async.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/SerialWorker.h"
#include "Vault/VaultAccess.h"
#include "Vault/VaultCrypto.h"

namespace fs = std::filesystem;

namespace {
// Seconds between 1970-01-01 and 2001-01-01, the epoch of stored dates.
constexpr qint64 referenceEpoch = 978'307'200;

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
      opener_([](const QUrl& url) { return QDesktopServices::openUrl(url); }),
      replies_(std::make_shared<Replies>()) {
    replies_->model = this;
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
    case Qt::DisplayRole:
        return QString::fromStdString(item->name);
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
        std::vector<VaultItem> items;
    };
    auto snap = std::make_shared<Snapshot>();
    runOnWorker([snap] {
        snap->setUp = KorvelIDVault::isSetUp();
        snap->unlocked = KorvelIDVault::isUnlocked();
        if (snap->unlocked) snap->items = KorvelIDVault::items();
    }, [this, snap](std::exception_ptr failure) {
        if (failure) return setError(describe(failure));
        applySnapshot(snap->setUp, snap->unlocked, std::move(snap->items));
    });
}

void VaultModel::applySnapshot(bool setUp, bool unlocked, std::vector<VaultItem> items) {
    if (items != items_) {
        beginResetModel();
        items_ = std::move(items);
        endResetModel();
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

void VaultModel::lock() {
    // A message about the unlocked vault's files means nothing once it is locked.
    setError({});
    // Queued behind whatever runs, so a running export finishes before the copies are deleted.
    runOnWorker([] { KorvelIDVault::lock(); }, [this](std::exception_ptr) { refresh(); });
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
    auto copy = std::make_shared<fs::path>();
    runOnWorker([item = *item, copy] { *copy = KorvelIDVault::exportToTemp(item); },
                [this, copy](std::exception_ptr failure) {
                    if (failure) return setError(describe(failure));
                    opener_(QUrl::fromLocalFile(QString::fromStdString(copy->string())));
                    QTimer::singleShot(copyLifetime_, this, [this, path = *copy] {
                        VaultAccess::worker().post([path] { removeQuietly(path); });
                    });
                });
}

void VaultModel::exportItem(int row, const fs::path& destination) {
    const VaultItem* item = itemAt(row);
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
    }, [this](std::exception_ptr failure) {
        if (failure) setError(describe(failure));
    });
}

void VaultModel::remove(int row) {
    const VaultItem* item = itemAt(row);
    if (!item) return;
    runOnWorker([item = *item] { KorvelIDVault::remove(item); }, [this](std::exception_ptr failure) {
        if (failure) return setError(describe(failure));
        refresh();
    });
}

void VaultModel::waitForWorker() { VaultAccess::worker().waitIdle(); }

void VaultModel::setError(QString error) {
    if (error == error_) return;
    error_ = std::move(error);
    Q_EMIT errorChanged();
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
    const QLocale locale;
    const auto msecs = static_cast<qint64>((static_cast<double>(referenceEpoch) + item.addedAt) * 1000.0);
    const QDateTime added = QDateTime::fromMSecsSinceEpoch(msecs);
    return locale.formattedDataSize(item.byteCount, 1, QLocale::DataSizeSIFormat) + QStringLiteral(" · ") +
           locale.toString(added, QLocale::ShortFormat);
}

QString VaultModel::describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const VaultError& e) {
        return QString::fromStdString(e.description());
    } catch (const CryptoError& e) {
        return QString::fromStdString(e.description());
    } catch (const std::exception& e) {
        return QString::fromStdString(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error.");
    }
}
