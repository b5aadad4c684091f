// Start-up window of the early builds: it says that the application is not finished yet and shows
// what the core already does.
#include <QApplication>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "Face/FaceStore.h"
#include "Face/Settings.h"
#include "Localization/Localization.h"
#include "Support/AppPaths.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KorvelID");
    QCoreApplication::setApplicationName("Korvel ID");
    QGuiApplication::setDesktopFileName("com.korvel.id");
    AppPaths::setApplicationIdentifier("com.korvel.id");

    const auto dir = AppPaths::supportDirectory();
    FaceStore store(dir / FaceStore::fileName);
    const Settings settings = Settings::load();
    auto& localizer = Localizer::shared();

    QWidget window;
    window.setWindowTitle("Korvel ID");
    auto* layout = new QVBoxLayout(&window);
    auto* heading = new QLabel("<b>Korvel ID</b> — the full application is not built yet. "
                               "This window shows what the core already does.");
    heading->setWordWrap(true);
    layout->addWidget(heading);

    auto* form = new QFormLayout;
    form->addRow("Data folder:", new QLabel(QString::fromStdString(dir.string())));
    form->addRow("Language:", new QLabel(QString::fromStdString(nativeName(localizer.language()))));
    QStringList names;
    for (const auto& p : store.profiles) names << QString::fromStdString(p.name);
    form->addRow("Enrolled profiles:",
                 new QLabel(names.isEmpty() ? QString("none") : QString("%1 (%2)").arg(names.size()).arg(names.join(", "))));
    form->addRow("Blink required:", new QLabel(settings.livenessRequired() ? "yes" : "no"));
    form->addRow(QString::fromStdString(L("menu.quit")) + ":", new QLabel("close this window"));
    layout->addLayout(form);

    window.resize(560, 220);
    window.show();
    return app.exec();
}
