// korvel-id-cli: Korvel ID from the terminal. It shares every file and text with the application.
#include <QCoreApplication>
#include <QLoggingCategory>

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Identity/InstalledModels.h"
#include "Support/AppPaths.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--manpage") {  // used by the build to make the man page
        std::cout << Cli::manPage();
        return 0;
    }
    // Passwords and keys pass through this process: no core dumps, no tracing by other processes.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    InstalledModels::use();

    // The core's progress lines would interleave with the command's own output.
    if (!std::getenv("QT_LOGGING_RULES")) QLoggingCategory::setFilterRules("com.korvel.id.*.info=false");
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KorvelID");
    QCoreApplication::setApplicationName("Korvel ID");
    AppPaths::setApplicationIdentifier("com.korvel.id");
    return Cli::dispatch(args);
}
