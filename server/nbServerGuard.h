// The connection and login guard a server consults before it admits a client and after each
// login attempt: black and white address lists, a per-address connection rate, locked user names
// and a growing delay after failed logins.
//
// Threads: CheckConnection runs on a listener thread, CheckLogin on worker threads; one guard may
// serve several servers. One re-entrant guard lock serialises every check, record change and
// event; handlers run inside it and may read the guard's properties, but must not wait for
// another thread that uses the guard. The login delay is slept outside the lock, on the calling
// thread only.
// Ownership: the guard owns its settings (setters copy) and its records.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "util/nbComponent.h"

namespace nb {

// Connection-rate limit per address: at most Max checks within Period ms of the first one.
class TnbGuardConnectionLimit {
public:
    std::int32_t Max() const { return max_; }
    void SetMax(std::int32_t AValue) { max_ = AValue; }
    std::int32_t Period() const { return period_; }
    void SetPeriod(std::int32_t AValue) { period_ = AValue; }
    void Assign(const TnbGuardConnectionLimit& ASource) { *this = ASource; }

private:
    std::int32_t max_ = 6;
    std::int32_t period_ = 60000;
};

// Delay after failed logins, in ms: a random part from Min to Max - 1 (IsRandom) plus, when
// IsIncremental, the previous delay of the same record and Increment.
class TnbGuardLoginDelay {
public:
    std::int32_t Min() const { return min_; }
    void SetMin(std::int32_t AValue) { min_ = AValue; }
    std::int32_t Max() const { return max_; }
    void SetMax(std::int32_t AValue) { max_ = AValue; }
    std::int32_t Increment() const { return increment_; }
    void SetIncrement(std::int32_t AValue) { increment_ = AValue; }
    bool IsIncremental() const { return isIncremental_; }
    void SetIsIncremental(bool AValue) { isIncremental_ = AValue; }
    bool IsRandom() const { return isRandom_; }
    void SetIsRandom(bool AValue) { isRandom_ = AValue; }
    void Assign(const TnbGuardLoginDelay& ASource) { *this = ASource; }

private:
    std::int32_t min_ = 10;
    std::int32_t max_ = 5000;
    std::int32_t increment_ = 1000;
    bool isIncremental_ = true;
    bool isRandom_ = true;
};

// One connection-rate record per address. Time is the tick count when it was made.
class TnbGuardConnectionInfo {
public:
    std::string IP;
    std::int32_t Port = 0;
    std::int32_t Time = 0;
    std::int32_t Count = 0;
};

// One failed-login record per user name and address. Time holds the low 16 bits of the tick
// count when it was made.
class TnbGuardUserInfo : public TnbGuardConnectionInfo {
public:
    std::string UserName;
    std::int32_t LastDelay = 0;
};

// An owning list of records in insertion order.
template <typename TInfo>
class TnbGuardInfoList {
public:
    TInfo& Add(TInfo AInfo) {
        items_.push_back(std::move(AInfo));
        return items_.back();
    }
    std::size_t Count() const { return items_.size(); }
    TInfo& Items(std::size_t AIndex) { return items_.at(AIndex); }
    const TInfo& Items(std::size_t AIndex) const { return items_.at(AIndex); }
    void Delete(std::size_t AIndex) {
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(AIndex));
    }
    void Clear() { items_.clear(); }

private:
    std::vector<TInfo> items_;
};

using TnbGuardConnectionInfoList = TnbGuardInfoList<TnbGuardConnectionInfo>;
using TnbGuardUserInfoList = TnbGuardInfoList<TnbGuardUserInfo>;

class TnbServerGuard;

// While one lives on a thread, a failed CheckLogin on that thread does not sleep its login delay
// but adds it here, for a caller that waits it without holding the thread (the FTP server
// defers its reply with the listener's timer). The innermost of nested ones collects.
class TnbLoginDelayDeferral {
public:
    TnbLoginDelayDeferral();
    ~TnbLoginDelayDeferral();
    TnbLoginDelayDeferral(const TnbLoginDelayDeferral&) = delete;
    TnbLoginDelayDeferral& operator=(const TnbLoginDelayDeferral&) = delete;

    // The delay collected so far, in ms.
    std::int32_t Delay() const { return delay_; }
    // Adds ADelay to the innermost deferral of this thread; false when there is none.
    static bool Collect(std::int32_t ADelay);

private:
    TnbLoginDelayDeferral* previous_;
    std::int32_t delay_ = 0;
};

using TnbGuardConnectionEvent = std::function<void(TnbServerGuard& Sender, const std::string& AIP,
                                                   std::int32_t APort, std::int32_t ATime)>;
using TnbGuardCanConnectEvent =
    std::function<void(TnbServerGuard& Sender, const std::string& AIP, std::int32_t APort,
                       std::int32_t ATime, bool& Allowed, bool& Handled)>;
using TnbGuardUserEvent =
    std::function<void(TnbServerGuard& Sender, const std::string& AUserName, const std::string& AIP,
                       std::int32_t APort, std::int32_t ATime)>;
using TnbGuardCanLoginEvent =
    std::function<void(TnbServerGuard& Sender, const std::string& AUserName, const std::string& AIP,
                       std::int32_t APort, std::int32_t ATime, bool& Allowed, bool& Handled)>;
using TnbGuardGetDelayEvent = std::function<void(TnbServerGuard& Sender, TnbGuardUserInfo& AUser,
                                                 std::int32_t& ADelay, bool& Handled)>;

// APort in every event is the server's own listening port. ATime is the tick count in ms; in the
// events raised by CheckLogin only its low 16 bits.
class TnbServerGuard : public TnbComponent {
public:
    // SECURITY: failed-login records are capped rather than aged. A spray of random user names
    // would otherwise grow memory forever, and aging alone bounds it only by the attack rate
    // (which is unbounded when the delay is switched off). Past the cap the record whose last
    // failure is oldest goes (with OnRemoveUser), so a name under a running attack keeps its
    // growing delay. 10000 records of ordinary names take about a megabyte (a name is
    // bounded by the command-line length) and a short scan per login.
    static constexpr std::size_t kDefaultUserRecordLimit = 10000;
    // SECURITY: the same bound for connection records, which otherwise grow with the number of
    // distinct addresses (easy to come by with IPv6) seen within one Period. Past the cap the
    // oldest record goes (with OnRemoveConnection).
    static constexpr std::size_t kDefaultConnectionRecordLimit = 10000;

    TnbServerGuard();
    virtual ~TnbServerGuard() = default;
    TnbServerGuard(const TnbServerGuard&) = delete;
    TnbServerGuard& operator=(const TnbServerGuard&) = delete;

    TnbGuardConnectionLimit ConnectionLimit() const;
    void SetConnectionLimit(const TnbGuardConnectionLimit& AValue);
    TnbGuardLoginDelay LoginDelay() const;
    void SetLoginDelay(const TnbGuardLoginDelay& AValue);
    // Entries are addresses or "a.b.c.*" masks; compared ignoring ASCII letter case.
    std::vector<std::string> WhiteIPList() const;
    void SetWhiteIPList(const std::vector<std::string>& AValue);
    std::vector<std::string> BlackIPList() const;
    void SetBlackIPList(const std::vector<std::string>& AValue);
    // User names whose logins are always refused; compared ignoring ASCII letter case.
    std::vector<std::string> LockedUsers() const;
    void SetLockedUsers(const std::vector<std::string>& AValue);
    bool AllowWhiteListOnly() const;
    void SetAllowWhiteListOnly(bool AValue);
    bool EnableConnectCheck() const;
    void SetEnableConnectCheck(bool AValue);
    bool EnableLoginCheck() const;
    void SetEnableLoginCheck(bool AValue);

    // Bound before the guard is used and not changed while servers consult it.
    TnbGuardConnectionEvent OnAllowConnection;
    TnbGuardConnectionEvent OnBlockConnection;
    TnbGuardConnectionEvent OnAddConnection;
    TnbGuardConnectionEvent OnRemoveConnection;
    TnbGuardCanConnectEvent OnCanConnect;
    TnbGuardUserEvent OnLockUser;
    TnbGuardUserEvent OnAddUser;
    TnbGuardUserEvent OnRemoveUser;
    TnbGuardGetDelayEvent OnGetDelay;
    TnbGuardCanLoginEvent OnCanLogin;

    // True to admit a client from AIP to the server listening on APort. Any thread.
    virtual bool CheckConnection(const std::string& AIP, std::int32_t APort);
    // The final result of a login whose password check gave ASuccess. After a failed login it
    // returns only once the login delay has been slept (outside the guard lock), unless a
    // TnbLoginDelayDeferral on this thread takes the delay instead. Any thread.
    virtual bool CheckLogin(const std::string& AUserName, bool ASuccess, const std::string& AIP,
                            std::int32_t APort);
    // Forgets every connection and failed-login record.
    virtual void Reset();

    // Record counts, for hosts that watch the guard.
    std::size_t ConnectionRecordCount() const;
    std::size_t UserRecordCount() const;
    // The caps above; values below 1 are ignored. Lowering a cap takes effect as records are
    // added.
    std::size_t UserRecordLimit() const;
    void SetUserRecordLimit(std::size_t AValue);
    std::size_t ConnectionRecordLimit() const;
    void SetConnectionRecordLimit(std::size_t AValue);

    // Any thread: ends every login delay being slept now; those logins still fail. A stopping
    // server calls it so that it does not wait out the delays of its workers.
    void CancelLoginDelays();

    // SECURITY: password guessing per address, whatever the user names and the number of
    // connections: after kLoginFailuresBeforeTurns failed logins from an address, every login
    // from it (a right password too, or parallel guesses would reveal it at once) is answered
    // in its turn, at least LoginTurnInterval ms after the previous one. An address that has
    // made no attempt for kLoginFailureMemory ms starts afresh. 0 switches the turns off.
    std::int32_t LoginTurnInterval() const;
    void SetLoginTurnInterval(std::int32_t AValue);

protected:
    // The delay for the next failed login of AUser; stores it as AUser.LastDelay. Lock held.
    virtual std::int32_t GetDelay(TnbGuardUserInfo& AUser);
    // The clock and the sleep, overridable so that tests run without waiting.
    virtual std::uint32_t GetTickCount();
    virtual void SleepLoginDelay(std::int32_t AMilliseconds);

    virtual void DoAllowConnection(const std::string& AIP, std::int32_t APort, std::int32_t ATime);
    virtual void DoBlockConnection(const std::string& AIP, std::int32_t APort, std::int32_t ATime);
    virtual void DoAddConnection(const std::string& AIP, std::int32_t APort, std::int32_t ATime);
    virtual void DoRemoveConnection(const std::string& AIP, std::int32_t APort, std::int32_t ATime);
    virtual void DoCanConnect(const std::string& AIP, std::int32_t APort, std::int32_t ATime,
                              bool& Allowed, bool& Handled);
    virtual void DoLockUser(const std::string& AUserName, const std::string& AIP,
                            std::int32_t APort, std::int32_t ATime);
    virtual void DoAddUser(const std::string& AUserName, const std::string& AIP, std::int32_t APort,
                           std::int32_t ATime);
    virtual void DoRemoveUser(const std::string& AUserName, const std::string& AIP,
                              std::int32_t APort, std::int32_t ATime);
    virtual void DoGetDelay(TnbGuardUserInfo& AUser, std::int32_t& ADelay, bool& Handled);
    virtual void DoCanLogin(const std::string& AUserName, const std::string& AIP,
                            std::int32_t APort, std::int32_t ATime, bool& Allowed, bool& Handled);

private:
    // Exact matches; lock held.
    TnbGuardConnectionInfo* FindConnectionRecord(const std::string& AIP);
    TnbGuardUserInfo* FindUserRecord(const std::string& AUserName, const std::string& AIP);
    // The wait of a login from AIP until its turn, in ms (0 while the address has failed only
    // a few times); counts the failure. Lock held.
    std::int32_t TakeLoginTurn(const std::string& AIP, bool AFailed, std::uint32_t ATick);
    bool IsBlackListed(const std::string& AIP, std::int32_t APort, std::int32_t ATime);
    bool IsWhiteListed(const std::string& AIP, std::int32_t APort, std::int32_t ATime);

    TnbGuardUserInfoList userInfos_;
    TnbGuardConnectionInfoList connectionInfos_;
    bool enableLoginCheck_ = true;
    bool enableConnectCheck_ = true;
    bool allowWhiteListOnly_ = false;
    std::vector<std::string> lockedUsers_;
    std::vector<std::string> blackIPList_;
    std::vector<std::string> whiteIPList_;
    TnbGuardLoginDelay loginDelay_;
    TnbGuardConnectionLimit connectionLimit_;
    std::size_t userRecordLimit_ = kDefaultUserRecordLimit;
    std::size_t connectionRecordLimit_ = kDefaultConnectionRecordLimit;
    // Failed logins per address and the tick of its last turn; capped as the other records.
    struct TAddressTurns {
        std::string IP;
        std::int32_t Failures = 0;
        std::uint32_t LastTurn = 0;
    };
    std::vector<TAddressTurns> addressTurns_;
    std::int32_t loginTurnInterval_;
    std::mt19937 random_;
    // The guard lock; re-entrant so that handlers may read the guard's properties.
    mutable std::recursive_mutex mutex_;
    // Login delays wait here (never under the guard lock); a new generation ends them.
    std::mutex sleepMutex_;
    std::condition_variable sleepWake_;
    std::uint64_t sleepGeneration_ = 0;
};

// True when AList holds AIP, or AIP's mask (AIP up to its last "." followed by ".*"), ignoring
// ASCII letter case. An address without "." matches only itself.
bool IsIPListed(const std::vector<std::string>& AList, const std::string& AIP);

}  // namespace nb
