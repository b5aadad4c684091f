// Writes the seed corpora of the fuzz targets, one folder per target, from the golden files and
// from the system's own writers, so the seeds always match the formats the readers expect.
// Usage: fuzz_seeds <output folder> <golden folder>
#include <dlib/image_processing/shape_predictor.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "AppLock/ProtectedAppsStore.h"
#include "Face/FaceStore.h"
#include "Face/Settings.h"
#include "FuzzSupport.h"
#include "Platform/FileSecretStore.h"
#include "System/AuthProtocol.h"
#include "Support/FileIO.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultStore.h"

namespace fs = std::filesystem;

namespace {
fs::path g_out;

void seed(const std::string& target, const std::string& name, std::span<const std::uint8_t> data) {
    const fs::path dir = g_out / target;
    fs::create_directories(dir);
    Fuzz::writeFile(dir / name, data);
}

void seed(const std::string& target, const std::string& name, std::string_view text) {
    seed(target, name, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void copyGolden(const fs::path& golden, const std::string& prefix, const std::string& target) {
    for (const auto& e : fs::directory_iterator(golden))
        if (e.path().filename().string().starts_with(prefix)) seed(target, e.path().filename().string(), Fuzz::readFile(e.path()));
}

Bytes withMode(std::uint8_t mode, std::span<const std::uint8_t> rest) {
    Bytes b(rest.size() + 1);
    b[0] = mode;
    std::copy(rest.begin(), rest.end(), b.begin() + 1);
    return b;
}

void vaultSeeds() {
    seed("vault_header", "known.json", Fuzz::knownHeaderJson());
    VaultHeader both;
    both.wrappedByDevice = VaultCrypto::wrap(Fuzz::dataKey(), Fuzz::dataKey());
    both.wrappedByPassword = VaultCrypto::wrap(Fuzz::dataKey(), Fuzz::passwordKey());
    seed("vault_header", "both.json", both.encode());
    seed("vault_header", "bare.json", VaultHeader{}.encode());

    const std::vector<VaultItem> items = {
        {*Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF"), "report.final.pdf", 38, 786297600.5, Fuzz::knownBlobName},
        {*Uuid::parse("00000000-0000-4000-8000-000000000002"), "README", 0, 0, "4F3D7A90-0000-4000-8000-000000000003"},
        {*Uuid::parse("00000000-0000-4000-8000-000000000004"), "Zoë's notes.txt", 12, -1.25, Fuzz::knownBlobName}};
    seed("vault_index", "three.json", VaultIndex::encode(items));
    seed("vault_index", "one.json", VaultIndex::encode({items[0]}));
    seed("vault_index", "empty.json", VaultIndex::encode({}));

    const Bytes known = VaultCrypto::seal(Fuzz::sealedPlaintext(), Fuzz::dataKey(), VaultCrypto::Nonce{4, 5, 6});
    seed("streamed_blob", "known", known);
    seed("streamed_blob", "empty", VaultCrypto::seal({}, Fuzz::dataKey(), VaultCrypto::Nonce{7}));
    seed("streamed_blob", "other-key", VaultCrypto::seal(Fuzz::sealedPlaintext(), Fuzz::passwordKey(), VaultCrypto::Nonce{8}));

    seed("sealed_box", "box", withMode(0, known));
    seed("sealed_box", "wrapped", withMode(0, VaultCrypto::wrap(Fuzz::dataKey(), Fuzz::passwordKey())));
    seed("sealed_box", "plaintext", withMode(1, Fuzz::sealedPlaintext()));
    seed("sealed_box", "short", withMode(0, std::span(known).first(VaultCrypto::overhead)));
}

void secretSeeds() {
    const fs::path file = Fuzz::scratch() / "secrets.json";
    FileSecretStore store(file);
    const std::uint8_t salt[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    (void)store.store("com.korvel.id.master", "salt", salt);
    (void)store.store("com.korvel.id.master", "verifier", Fuzz::sealedPlaintext());
    (void)store.store("com.korvel.id.vault.kek", "device-kek", Fuzz::dataKey().bytes());
    seed("secret_file", "three.json", Fuzz::readFile(file));
    seed("secret_file", "empty.json", "[]");
}

void faceSeeds(const fs::path& golden) {
    copyGolden(golden, "settings", "settings");
    seed("settings", "default.json", Settings{}.encode());
    copyGolden(golden, "enrollment", "enrollment");
    FaceProfile p;
    p.id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    p.name = "Ada";
    p.embeddings = {{{0.5f, -0.125f, 7.038531e-26f, 1.17549435e-38f}}, {{}}};
    p.createdAt = 786297600.125;
    seed("enrollment", "written.json", FaceProfiles::encode({p}));
}

void protectedAppsSeeds(const fs::path& golden) {
    copyGolden(golden, "protected-apps", "protected_apps");
    const std::vector<ProtectedApp> apps = {
        {"org.gnome.Terminal", "Terminal", 0}, {"firefox", "Firefox / Web", -1}, {"code", "Zoë's editor", 300}};
    seed("protected_apps", "three.json", *ProtectedAppsStore::encode(apps));
    seed("protected_apps", "empty.json", *ProtectedAppsStore::encode({}));
}

void weightsSeeds() {
    // Three tensors, one per stored type: float32 [2,2], uint8 [3], uint16 [2].
    std::string small =
        R"([{"paths":["s.bin"],"weights":[{"name":"a","shape":[2,2],"dtype":"float32"},)"
        R"({"name":"b","shape":[3],"dtype":"float32","quantization":{"dtype":"uint8","scale":0.5,"min":-1}},)"
        R"({"name":"c","shape":[2],"dtype":"float32","quantization":{"dtype":"uint16","scale":0.25,"min":0}}]}])";
    small += '\0';
    const float a[] = {1.f, -2.f, 0.5f, 3.25f};
    small.append(reinterpret_cast<const char*>(a), sizeof a);
    small += std::string("\x01\x02\xff\x10\x00\xff\xff", 7);
    seed("weights_manifest", "small", small);
}

// A tiny shape predictor in the format dlib writes (68 points, few stages, trees of depth one).
void landmarkSeeds() {
    for (const unsigned stages : {1u, 2u}) {
        dlib::matrix<float, 0, 1> initial(136);
        for (long i = 0; i < 68; ++i) {
            initial(2 * i) = 0.5f + 0.4f * float(std::cos(i * 0.0924));
            initial(2 * i + 1) = 0.5f + 0.4f * float(std::sin(i * 0.0924));
        }
        std::vector<std::vector<dlib::impl::regression_tree>> forests(stages);
        for (auto& forest : forests) {
            forest.resize(2);
            for (auto& tree : forest) {
                dlib::impl::split_feature split;
                split.idx1 = 0;
                split.idx2 = 1;
                split.thresh = 3.5f;
                tree.splits = {split};
                tree.leaf_values.assign(2, dlib::matrix<float, 0, 1>(136));
                tree.leaf_values[0] = 0.001f;
                tree.leaf_values[1] = -0.002f;
            }
        }
        std::vector<std::vector<dlib::vector<float, 2>>> pixels(stages, {{0.3f, 0.35f}, {0.7f, 0.6f}});
        const dlib::shape_predictor sp(initial, forests, pixels);
        std::ostringstream out;
        dlib::serialize(sp, out);
        seed("landmark_model", "stages-" + std::to_string(stages) + ".dat", out.str());
    }
}
// A conversation as the PAM module and the service have it; the first byte is the reader's piece size.
void authProtocolSeeds() {
    using namespace AuthProtocol;
    Message ask = request(Type::authenticate, "ada");
    ask.set(Field::service, "sudo");
    Message started;
    started.type = Type::started;
    started.set(Field::name, "Ada Lovelace");
    Message done = result(Outcome::success, "Face recognized");
    done.set(Field::name, "Ada Lovelace").set(Field::enrolled, 1);
    Message enrol = request(Type::enroll, "ada");
    enrol.set(Field::password, "correct horse");
    Message progress;
    progress.type = Type::progress;
    progress.set(Field::count, 3).set(Field::total, 8);
    Bytes all{5};
    for (const Message& m : {ask, started, done, enrol, progress}) {
        const auto b = encode(m);
        all.insert(all.end(), b.begin(), b.end());
    }
    seed("auth_protocol", "conversation", all);
    Bytes one{16};
    const auto b = encode(ask);
    one.insert(one.end(), b.begin(), b.end());
    seed("auth_protocol", "request", one);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <output folder> <golden folder>\n", argv[0]);
        return 2;
    }
    g_out = argv[1];
    fs::create_directories(g_out);
    faceSeeds(argv[2]);
    protectedAppsSeeds(argv[2]);
    vaultSeeds();
    secretSeeds();
    weightsSeeds();
    landmarkSeeds();
    authProtocolSeeds();
    Fuzz::writeFile(g_out / ".stamp", {});
    return 0;
}
