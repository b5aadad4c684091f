#include "Identity/InstalledModels.h"

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

void InstalledModels::use() {
    if (std::getenv("KORVEL_MODEL_DIR")) return;
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return;
    const fs::path models = exe.parent_path().parent_path() / "share" / "korvel-id" / "models";
    if (fs::exists(models / "face_recognition_model-weights_manifest.json", ec)) setenv("KORVEL_MODEL_DIR", models.c_str(), 1);
}
