#pragma once
// Notices quits that the system starts: logind preparing a shut-down, SIGTERM and SIGHUP (the end
// of a session managed over XSMP quits the application through Qt itself). Each is reported once
// as systemQuitRequested on the main thread.
#include <QObject>

class QSocketNotifier;

class SystemQuitWatcher : public QObject {
    Q_OBJECT

public:
    explicit SystemQuitWatcher(QObject* parent = nullptr);
    ~SystemQuitWatcher() override;

Q_SIGNALS:
    void systemQuitRequested();

private Q_SLOTS:
    void prepareForShutdown(bool starting);

private:
    void report();
    QSocketNotifier* notifier_ = nullptr;
    bool reported_ = false;
};
