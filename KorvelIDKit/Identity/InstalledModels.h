#pragma once
// An installed program keeps its face models in <prefix>/share/korvel-id/models, next to its own
// bin folder. Points the face engine there (KORVEL_MODEL_DIR) unless the environment already names
// a folder or nothing is installed there; the build tree's programs keep the folder they were
// built with.
namespace InstalledModels {
void use();
}
