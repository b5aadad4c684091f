#pragma once
// Answers like the authentication facade: the prompt derives the key of what the "user" typed, or
// hands out a future the test answers; the face step returns the scripted results.
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Identity/MasterPassword.h"
#include "Support/Async.h"
#include "TestSupport.h"
#include "Vault/VaultAuthenticator.h"

namespace TestSupport {

// The result of `future` once it is ready; a failure of the calling test (and T{}) when it is not in time.
template <typename T>
T await(const QFuture<T>& future, int timeoutMs = 20000) {
    EXPECT_TRUE(waitUntil([&] { return future.isFinished(); }, timeoutMs)) << "no result in time";
    return future.isFinished() && future.resultCount() > 0 ? future.result() : T{};
}

class ScriptedAuthenticator final : public VaultAuthenticator {
public:
    std::deque<std::optional<std::string>> typed;              // nothing: the prompt is dismissed
    std::deque<Result> faceResults;                            // empty: the scan is cancelled
    std::optional<QFuture<std::optional<SymmetricKey>>> held;  // every prompt's answer, when set
    std::vector<std::string> promptReasons;
    std::vector<std::pair<std::string, bool>> authenticateCalls;

    QFuture<std::optional<SymmetricKey>> promptVaultKey(const std::string& reason) override {
        promptReasons.push_back(reason);
        if (held) return *held;
        const auto entry = pop(typed, std::optional<std::string>{});
        if (!entry) return Async::ready(std::optional<SymmetricKey>{});
        return MasterPassword::deriveKeyForVaultAsync(*entry);
    }

    // A password approval brings the key of what was typed, as the real dialog's check does.
    QFuture<KeyedResult> authenticateForVault(const std::string& reason) override {
        authenticateCalls.emplace_back(reason, true);
        KeyedResult out{pop(faceResults, Result::cancelled()), std::nullopt};
        if (out.result == Result::success(Method::password()))
            if (const auto entry = pop(typed, std::optional<std::string>{})) out.passwordKey = MasterPassword::deriveKeyForVault(*entry);
        return Async::ready(std::move(out));
    }

private:
    template <typename T>
    static T pop(std::deque<T>& queue, T otherwise) {
        if (queue.empty()) return otherwise;
        T front = std::move(queue.front());
        queue.pop_front();
        return front;
    }
};

}  // namespace TestSupport
