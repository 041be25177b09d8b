// Connection and login checks of the server guard.
#include "server/nbServerGuard.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "util/nbLimits.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

bool ListContainsText(const std::vector<std::string>& AList, const std::string& AText) {
    return std::any_of(AList.begin(), AList.end(),
                       [&](const std::string& item) { return SameTextAscii(item, AText); });
}

// The innermost login-delay deferral of this thread.
thread_local TnbLoginDelayDeferral* tLoginDelayDeferral = nullptr;

}  // namespace

TnbLoginDelayDeferral::TnbLoginDelayDeferral() : previous_(tLoginDelayDeferral) {
    tLoginDelayDeferral = this;
}

TnbLoginDelayDeferral::~TnbLoginDelayDeferral() {
    tLoginDelayDeferral = previous_;
}

bool TnbLoginDelayDeferral::Collect(std::int32_t ADelay) {
    if (tLoginDelayDeferral == nullptr)
        return false;
    const std::int64_t sum = static_cast<std::int64_t>(tLoginDelayDeferral->delay_) + ADelay;
    tLoginDelayDeferral->delay_ =
        static_cast<std::int32_t>(std::min<std::int64_t>(sum, std::numeric_limits<std::int32_t>::max()));
    return true;
}

bool IsIPListed(const std::vector<std::string>& AList, const std::string& AIP) {
    if (ListContainsText(AList, AIP)) {
        return true;
    }
    const auto dot = AIP.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    return ListContainsText(AList, AIP.substr(0, dot) + ".*");
}

TnbServerGuard::TnbServerGuard() : loginTurnInterval_(kLoginTurnInterval) {
    std::random_device device;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::seed_seq seed{device(), static_cast<unsigned>(now), static_cast<unsigned>(now >> 32)};
    random_.seed(seed);
}

// ---- Properties ----

TnbGuardConnectionLimit TnbServerGuard::ConnectionLimit() const {
    std::lock_guard lock(mutex_);
    return connectionLimit_;
}

void TnbServerGuard::SetConnectionLimit(const TnbGuardConnectionLimit& AValue) {
    std::lock_guard lock(mutex_);
    connectionLimit_.Assign(AValue);
}

TnbGuardLoginDelay TnbServerGuard::LoginDelay() const {
    std::lock_guard lock(mutex_);
    return loginDelay_;
}

void TnbServerGuard::SetLoginDelay(const TnbGuardLoginDelay& AValue) {
    std::lock_guard lock(mutex_);
    loginDelay_.Assign(AValue);
}

std::vector<std::string> TnbServerGuard::WhiteIPList() const {
    std::lock_guard lock(mutex_);
    return whiteIPList_;
}

void TnbServerGuard::SetWhiteIPList(const std::vector<std::string>& AValue) {
    std::lock_guard lock(mutex_);
    whiteIPList_ = AValue;
}

std::vector<std::string> TnbServerGuard::BlackIPList() const {
    std::lock_guard lock(mutex_);
    return blackIPList_;
}

void TnbServerGuard::SetBlackIPList(const std::vector<std::string>& AValue) {
    std::lock_guard lock(mutex_);
    blackIPList_ = AValue;
}

std::vector<std::string> TnbServerGuard::LockedUsers() const {
    std::lock_guard lock(mutex_);
    return lockedUsers_;
}

void TnbServerGuard::SetLockedUsers(const std::vector<std::string>& AValue) {
    std::lock_guard lock(mutex_);
    lockedUsers_ = AValue;
}

bool TnbServerGuard::AllowWhiteListOnly() const {
    std::lock_guard lock(mutex_);
    return allowWhiteListOnly_;
}

void TnbServerGuard::SetAllowWhiteListOnly(bool AValue) {
    std::lock_guard lock(mutex_);
    allowWhiteListOnly_ = AValue;
}

bool TnbServerGuard::EnableConnectCheck() const {
    std::lock_guard lock(mutex_);
    return enableConnectCheck_;
}

void TnbServerGuard::SetEnableConnectCheck(bool AValue) {
    std::lock_guard lock(mutex_);
    enableConnectCheck_ = AValue;
}

bool TnbServerGuard::EnableLoginCheck() const {
    std::lock_guard lock(mutex_);
    return enableLoginCheck_;
}

void TnbServerGuard::SetEnableLoginCheck(bool AValue) {
    std::lock_guard lock(mutex_);
    enableLoginCheck_ = AValue;
}

std::size_t TnbServerGuard::ConnectionRecordCount() const {
    std::lock_guard lock(mutex_);
    return connectionInfos_.Count();
}

std::size_t TnbServerGuard::UserRecordCount() const {
    std::lock_guard lock(mutex_);
    return userInfos_.Count();
}

std::size_t TnbServerGuard::UserRecordLimit() const {
    std::lock_guard lock(mutex_);
    return userRecordLimit_;
}

void TnbServerGuard::SetUserRecordLimit(std::size_t AValue) {
    if (AValue < 1) {
        return;
    }
    std::lock_guard lock(mutex_);
    userRecordLimit_ = AValue;
}

std::size_t TnbServerGuard::ConnectionRecordLimit() const {
    std::lock_guard lock(mutex_);
    return connectionRecordLimit_;
}

void TnbServerGuard::SetConnectionRecordLimit(std::size_t AValue) {
    if (AValue < 1) {
        return;
    }
    std::lock_guard lock(mutex_);
    connectionRecordLimit_ = AValue;
}

std::int32_t TnbServerGuard::LoginTurnInterval() const {
    std::lock_guard lock(mutex_);
    return loginTurnInterval_;
}

void TnbServerGuard::SetLoginTurnInterval(std::int32_t AValue) {
    std::lock_guard lock(mutex_);
    loginTurnInterval_ = std::max<std::int32_t>(AValue, 0);
}

// ---- Checks ----

std::int32_t TnbServerGuard::TakeLoginTurn(const std::string& AIP, bool AFailed,
                                           std::uint32_t ATick) {
    auto record = std::find_if(addressTurns_.begin(), addressTurns_.end(),
                               [&](const TAddressTurns& turns) { return turns.IP == AIP; });
    if (record != addressTurns_.end() && TickDelta(record->LastTurn, ATick) > kLoginFailureMemory)
        record->Failures = 0;
    if (record == addressTurns_.end()) {
        if (!AFailed)
            return 0;
        // Kept in order of last use: the cap evicts the address quiet for the longest.
        if (addressTurns_.size() >= connectionRecordLimit_)
            addressTurns_.erase(addressTurns_.begin());
        addressTurns_.push_back({AIP, 0, ATick});
        record = addressTurns_.end() - 1;
    }
    if (AFailed)
        ++record->Failures;
    if (record->Failures <= kLoginFailuresBeforeTurns || loginTurnInterval_ <= 0) {
        record->LastTurn = ATick;
        return 0;
    }
    // The turn after the last one given out, or now when that lies in the past.
    const std::uint32_t from = TickDelta(ATick, record->LastTurn) > 0 ? record->LastTurn : ATick;
    record->LastTurn = from + static_cast<std::uint32_t>(loginTurnInterval_);
    TAddressTurns used = std::move(*record);
    addressTurns_.erase(record);
    addressTurns_.push_back(std::move(used));
    return TickDelta(ATick, addressTurns_.back().LastTurn);
}

TnbGuardConnectionInfo* TnbServerGuard::FindConnectionRecord(const std::string& AIP) {
    for (std::size_t i = connectionInfos_.Count(); i > 0; --i) {
        if (connectionInfos_.Items(i - 1).IP == AIP) {
            return &connectionInfos_.Items(i - 1);
        }
    }
    return nullptr;
}

TnbGuardUserInfo* TnbServerGuard::FindUserRecord(const std::string& AUserName,
                                                 const std::string& AIP) {
    for (std::size_t i = userInfos_.Count(); i > 0; --i) {
        TnbGuardUserInfo& info = userInfos_.Items(i - 1);
        if (info.UserName == AUserName && info.IP == AIP) {
            return &info;
        }
    }
    return nullptr;
}

bool TnbServerGuard::IsBlackListed(const std::string& AIP, std::int32_t APort, std::int32_t ATime) {
    if (!IsIPListed(blackIPList_, AIP)) {
        return false;
    }
    DoBlockConnection(AIP, APort, ATime);
    return true;
}

bool TnbServerGuard::IsWhiteListed(const std::string& AIP, std::int32_t APort, std::int32_t ATime) {
    if (!IsIPListed(whiteIPList_, AIP)) {
        return false;
    }
    DoAllowConnection(AIP, APort, ATime);
    return true;
}

bool TnbServerGuard::CheckConnection(const std::string& AIP, std::int32_t APort) {
    std::lock_guard lock(mutex_);
    if (!enableConnectCheck_) {
        return true;
    }
    const std::uint32_t tick = GetTickCount();
    const auto now = static_cast<std::int32_t>(tick);

    bool allowed = false;
    bool handled = false;
    DoCanConnect(AIP, APort, now, allowed, handled);
    if (handled) {
        return allowed;
    }
    // SECURITY: a client whose address is unknown cannot be rate-limited or listed; refuse it.
    if (AIP.empty()) {
        DoBlockConnection(AIP, APort, now);
        return false;
    }
    // SECURITY: black-listed addresses are refused before anything else counts for them.
    if (IsBlackListed(AIP, APort, now)) {
        return false;
    }
    if (IsWhiteListed(AIP, APort, now)) {
        return true;
    }
    if (allowWhiteListOnly_) {
        return false;
    }

    // SECURITY: fixed-window rate limit per address; expired records of every address go first.
    // The window is measured as a signed 32-bit difference, so a wrap of the tick count is
    // harmless.
    for (std::size_t i = connectionInfos_.Count(); i > 0; --i) {
        // A handler may have changed the list (Reset); skip indices that no longer exist.
        if (i > connectionInfos_.Count()) {
            continue;
        }
        const TnbGuardConnectionInfo& info = connectionInfos_.Items(i - 1);
        if (TickDelta(static_cast<std::uint32_t>(info.Time), tick) >= connectionLimit_.Period()) {
            const std::string ip = info.IP;
            const std::int32_t port = info.Port;
            connectionInfos_.Delete(i - 1);
            DoRemoveConnection(ip, port, now);
        }
    }
    std::int32_t count = 0;
    if (TnbGuardConnectionInfo* record = FindConnectionRecord(AIP)) {
        count = ++record->Count;
    } else {
        // Records are appended in time order, so the first is the oldest.
        while (connectionInfos_.Count() > 0 && connectionInfos_.Count() >= connectionRecordLimit_) {
            const TnbGuardConnectionInfo oldest = connectionInfos_.Items(0);
            connectionInfos_.Delete(0);
            DoRemoveConnection(oldest.IP, oldest.Port, now);
        }
        TnbGuardConnectionInfo info;
        info.IP = AIP;
        info.Port = APort;
        info.Time = now;
        // This check is the record's first.
        info.Count = count = 1;
        connectionInfos_.Add(std::move(info));
        DoAddConnection(AIP, APort, now);
    }
    if (count > connectionLimit_.Max()) {
        DoBlockConnection(AIP, APort, now);
        return false;
    }
    DoAllowConnection(AIP, APort, now);
    return true;
}

bool TnbServerGuard::CheckLogin(const std::string& AUserName, bool ASuccess, const std::string& AIP,
                                std::int32_t APort) {
    std::int32_t delay = 0;
    {
        std::unique_lock lock(mutex_);
        if (!enableLoginCheck_) {
            return ASuccess;
        }
        const std::uint32_t tick = GetTickCount();
        const auto time = static_cast<std::int32_t>(tick & 0xFFFFu);

        bool allowed = false;
        bool handled = false;
        DoCanLogin(AUserName, AIP, APort, time, allowed, handled);
        if (handled) {
            return allowed;
        }
        // SECURITY: a black-listed address cannot log in even with the right password.
        if (IsBlackListed(AIP, APort, time)) {
            return false;
        }
        // SECURITY: locked names are refused whatever the password, and without a delay that
        // would only tie up a worker.
        if (ListContainsText(lockedUsers_, AUserName)) {
            DoLockUser(AUserName, AIP, APort, time);
            return false;
        }

        if (ASuccess) {
            // A successful login from the same address starts its delays afresh.
            for (std::size_t i = userInfos_.Count(); i > 0; --i) {
                // A handler may have changed the list (Reset); skip indices that no longer exist.
                if (i > userInfos_.Count()) {
                    continue;
                }
                const TnbGuardUserInfo& info = userInfos_.Items(i - 1);
                if (info.UserName == AUserName && info.IP == AIP) {
                    userInfos_.Delete(i - 1);
                    DoRemoveUser(AUserName, AIP, APort, time);
                }
            }
            delay = TakeLoginTurn(AIP, false, tick);
            lock.unlock();
            if (delay > 0 && !TnbLoginDelayDeferral::Collect(delay)) {
                SleepLoginDelay(delay);
            }
            return true;
        }

        // The list is kept in order of last failure: the record of this failure moves to the end,
        // so the cap below evicts the name that failed longest ago.
        if (TnbGuardUserInfo* record = FindUserRecord(AUserName, AIP)) {
            TnbGuardUserInfo info = std::move(*record);
            userInfos_.Delete(static_cast<std::size_t>(record - &userInfos_.Items(0)));
            userInfos_.Add(std::move(info));
        } else {
            while (userInfos_.Count() > 0 && userInfos_.Count() >= userRecordLimit_) {
                const TnbGuardUserInfo oldest = userInfos_.Items(0);
                userInfos_.Delete(0);
                DoRemoveUser(oldest.UserName, oldest.IP, oldest.Port, time);
            }
            TnbGuardUserInfo info;
            info.IP = AIP;
            info.Port = APort;
            info.Time = time;
            info.UserName = AUserName;
            userInfos_.Add(std::move(info));
            DoAddUser(AUserName, AIP, APort, time);
        }
        // The delay is worked out on a copy and stored back after a fresh look-up, so a handler
        // that changes the list (Reset) cannot leave a dangling record behind.
        if (const TnbGuardUserInfo* record = FindUserRecord(AUserName, AIP)) {
            TnbGuardUserInfo user = *record;
            delay = GetDelay(user);
            if (TnbGuardUserInfo* stored = FindUserRecord(AUserName, AIP)) {
                stored->LastDelay = user.LastDelay;
            }
        }
        delay = std::max(delay, TakeLoginTurn(AIP, true, tick));
    }
    // SECURITY: the delay slows down password guessing; it is slept outside the guard lock so
    // that it holds up only this login's own thread, never other clients' checks.
    if (delay > 0 && !TnbLoginDelayDeferral::Collect(delay)) {
        SleepLoginDelay(delay);
    }
    return false;
}

std::int32_t TnbServerGuard::GetDelay(TnbGuardUserInfo& AUser) {
    std::int32_t delay = 0;
    bool handled = false;
    DoGetDelay(AUser, delay, handled);
    if (handled) {
        AUser.LastDelay = delay;
        return delay;
    }
    // 64-bit sums: the incremental part has no upper bound of its own and would overflow 32 bits
    // after enough failures; the result is clamped instead.
    std::int64_t total = 0;
    const std::int64_t min = loginDelay_.Min();
    const std::int64_t max = loginDelay_.Max();
    if (loginDelay_.IsRandom() && min < max) {
        std::uniform_int_distribution<std::int64_t> distribution(0, max - min - 1);
        total = distribution(random_) + min;
    }
    if (loginDelay_.IsIncremental()) {
        total += static_cast<std::int64_t>(AUser.LastDelay) + loginDelay_.Increment();
    }
    total = std::clamp<std::int64_t>(total, std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::int32_t>::max());
    AUser.LastDelay = static_cast<std::int32_t>(total);
    return AUser.LastDelay;
}

void TnbServerGuard::Reset() {
    std::lock_guard lock(mutex_);
    userInfos_.Clear();
    connectionInfos_.Clear();
    addressTurns_.clear();
}

std::uint32_t TnbServerGuard::GetTickCount() {
    return GetTickCount32();
}

void TnbServerGuard::SleepLoginDelay(std::int32_t AMilliseconds) {
    std::unique_lock lock(sleepMutex_);
    const std::uint64_t generation = sleepGeneration_;
    sleepWake_.wait_for(lock, std::chrono::milliseconds(AMilliseconds),
                        [&] { return sleepGeneration_ != generation; });
}

void TnbServerGuard::CancelLoginDelays() {
    {
        std::lock_guard lock(sleepMutex_);
        ++sleepGeneration_;
    }
    sleepWake_.notify_all();
}

// ---- Event dispatchers ----

void TnbServerGuard::DoAllowConnection(const std::string& AIP, std::int32_t APort,
                                       std::int32_t ATime) {
    if (OnAllowConnection) {
        OnAllowConnection(*this, AIP, APort, ATime);
    }
}

void TnbServerGuard::DoBlockConnection(const std::string& AIP, std::int32_t APort,
                                       std::int32_t ATime) {
    if (OnBlockConnection) {
        OnBlockConnection(*this, AIP, APort, ATime);
    }
}

void TnbServerGuard::DoAddConnection(const std::string& AIP, std::int32_t APort,
                                     std::int32_t ATime) {
    if (OnAddConnection) {
        OnAddConnection(*this, AIP, APort, ATime);
    }
}

void TnbServerGuard::DoRemoveConnection(const std::string& AIP, std::int32_t APort,
                                        std::int32_t ATime) {
    if (OnRemoveConnection) {
        OnRemoveConnection(*this, AIP, APort, ATime);
    }
}

void TnbServerGuard::DoCanConnect(const std::string& AIP, std::int32_t APort, std::int32_t ATime,
                                  bool& Allowed, bool& Handled) {
    if (OnCanConnect) {
        OnCanConnect(*this, AIP, APort, ATime, Allowed, Handled);
    }
}

void TnbServerGuard::DoLockUser(const std::string& AUserName, const std::string& AIP,
                                std::int32_t APort, std::int32_t ATime) {
    if (OnLockUser) {
        OnLockUser(*this, AUserName, AIP, APort, ATime);
    }
}

void TnbServerGuard::DoAddUser(const std::string& AUserName, const std::string& AIP,
                               std::int32_t APort, std::int32_t ATime) {
    if (OnAddUser) {
        OnAddUser(*this, AUserName, AIP, APort, ATime);
    }
}

void TnbServerGuard::DoRemoveUser(const std::string& AUserName, const std::string& AIP,
                                  std::int32_t APort, std::int32_t ATime) {
    if (OnRemoveUser) {
        OnRemoveUser(*this, AUserName, AIP, APort, ATime);
    }
}

void TnbServerGuard::DoGetDelay(TnbGuardUserInfo& AUser, std::int32_t& ADelay, bool& Handled) {
    if (OnGetDelay) {
        OnGetDelay(*this, AUser, ADelay, Handled);
    }
}

void TnbServerGuard::DoCanLogin(const std::string& AUserName, const std::string& AIP,
                                std::int32_t APort, std::int32_t ATime, bool& Allowed,
                                bool& Handled) {
    if (OnCanLogin) {
        OnCanLogin(*this, AUserName, AIP, APort, ATime, Allowed, Handled);
    }
}

}  // namespace nb
