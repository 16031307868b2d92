#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace zandorin {

// What the rest of the application hears of sign-ins and sign-outs. Sign-in raises the events;
// app/ adds the observers, once at start before any event, and each runs on the raising thread.
class SignInEvents {
public:
    // Hands a sign-in on to the next observer; called once, from any thread.
    using Next = std::function<void()>;

    void onSignedIn(std::function<void(Next)> observer) {
        signedIn_.push_back(std::move(observer));
    }
    void onSigningOut(std::function<void()> observer) {
        signingOut_.push_back(std::move(observer));
    }
    void onSignedOut(std::function<void()> observer) { signedOut_.push_back(std::move(observer)); }

    // A sign-in's tokens are stored: the observers in the order added, each once the one before
    // has handed on, then `done`. Whatever comes after a sign-out (`current` false) is skipped:
    // a sign-in that is already over is not announced.
    void signedIn(std::function<bool()> current, Next done) const {
        step(0, std::move(current), std::move(done));
    }

    // A sign-out begins; the tokens can still be read.
    void signingOut() const {
        for (const auto& observer : signingOut_) {
            observer();
        }
    }

    // A sign-out has taken the tokens out of use. Main thread.
    void signedOut() const {
        for (const auto& observer : signedOut_) {
            observer();
        }
    }

private:
    void step(std::size_t index, std::function<bool()> current, Next done) const {
        if (!current()) {
            return;
        }
        if (index == signedIn_.size()) {
            done();
            return;
        }
        signedIn_[index]([this, index, current = std::move(current), done = std::move(done)] {
            step(index + 1, current, done);
        });
    }

    std::vector<std::function<void(Next)>> signedIn_;
    std::vector<std::function<void()>> signingOut_;
    std::vector<std::function<void()>> signedOut_;
};

}  // namespace zandorin
