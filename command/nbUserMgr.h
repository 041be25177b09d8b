// User accounts that a server checks logins against: the account item, the collection a server
// publishes, and the holder a login keeps its account in.
// Thread notes: a host may add, remove and change accounts while the server runs and workers
// look accounts up; every property access is guarded, and a looked-up account stays valid (it
// is shared) even when the host removes it from the list meanwhile.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace nb {

class TnbUserAccountList;

// One account. Items are created by a list (TnbUserAccountList::Add), which then owns them, or
// on their own for a single login (an account an application supplies); an item without a list
// compares passwords exactly.
// Any thread: properties are read and written under the item's own lock.
class TnbUserAccountItem {
public:
    TnbUserAccountItem() = default;
    virtual ~TnbUserAccountItem() = default;
    TnbUserAccountItem(const TnbUserAccountItem&) = delete;
    TnbUserAccountItem& operator=(const TnbUserAccountItem&) = delete;

    std::string UserName() const;
    void SetUserName(std::string value);
    // Stored and compared as plain text; never log it.
    std::string Password() const;
    void SetPassword(std::string value);
    // Shown to people; no check uses it.
    std::string DisplayName() const;
    void SetDisplayName(std::string value);

    // Copies UserName, Password and DisplayName. Subclasses copy their own properties too
    // when the source is of their class.
    virtual void Assign(const TnbUserAccountItem& source);

    // True when password equals Password: ignoring the case of A-Z when the owning list is
    // CaseInsensitive, byte for byte otherwise (also for an item that belongs to no list).
    bool CheckPassword(std::string_view password) const;

    // The list this item belongs to; nullptr once removed or when created on its own.
    TnbUserAccountList* Collection() const { return collection_.load(); }

protected:
    // Guards the properties; subclasses guard theirs with it as well.
    mutable std::mutex itemLock_;

private:
    friend class TnbUserAccountList;
    // Compares against UserName under the item lock.
    bool UserNameMatches(std::string_view userName, bool caseInsensitive) const;

    std::string userName_;
    std::string password_;
    std::string displayName_;
    std::atomic<TnbUserAccountList*> collection_{nullptr};
};

using TnbUserAccountItemPtr = std::shared_ptr<TnbUserAccountItem>;

// The accounts of a server, in the order added. Subclasses choose the item class through
// CreateItem (the FTP server's list makes FTP accounts).
// Ownership: the list shares its items with whoever looked them up; removing an item unlinks
// it from the list (its password is then compared exactly) and frees it with its last holder.
// Any thread: every operation takes the list lock (a leaf lock apart from the item locks it
// may take inside).
class TnbUserAccountList {
public:
    TnbUserAccountList() = default;
    virtual ~TnbUserAccountList();
    TnbUserAccountList(const TnbUserAccountList&) = delete;
    TnbUserAccountList& operator=(const TnbUserAccountList&) = delete;

    // Appends a new item of the list's item class and returns it.
    TnbUserAccountItemPtr Add();
    int Count() const;
    // The i-th item; raises std::out_of_range for a bad index.
    TnbUserAccountItemPtr Items(int index) const;
    // A copy of the item references, for iteration while the host may change the list.
    std::vector<TnbUserAccountItemPtr> Snapshot() const;
    void Delete(int index);
    void Clear();

    // Governs user names and passwords alike; false initially.
    bool CaseInsensitive() const { return caseInsensitive_.load(); }
    void SetCaseInsensitive(bool value) { caseInsensitive_.store(value); }

    // Replaces the items with copies of the source's items and takes its CaseInsensitive.
    void Assign(const TnbUserAccountList& source);

    // The first item whose UserName equals userName (ignoring the case of A-Z when
    // CaseInsensitive), or nullptr.
    TnbUserAccountItemPtr FindAccount(std::string_view userName) const;

protected:
    // A new, unlisted item of the list's item class.
    virtual TnbUserAccountItemPtr CreateItem();

private:
    void Unlink(std::vector<TnbUserAccountItemPtr>& items) noexcept;

    mutable std::mutex listLock_;
    std::vector<TnbUserAccountItemPtr> items_;
    std::atomic<bool> caseInsensitive_{false};
};

// The account of one login: either an item of a server's list (OwnsItem false: the list keeps
// it) or one made for this login only (OwnsItem true). Holding the item shared keeps it valid
// for the whole login either way.
class TnbUserAccountWrapper {
public:
    TnbUserAccountWrapper(TnbUserAccountItemPtr item, bool ownsItem)
        : item_(std::move(item)), ownsItem_(ownsItem) {}
    virtual ~TnbUserAccountWrapper() = default;
    TnbUserAccountWrapper(const TnbUserAccountWrapper&) = delete;
    TnbUserAccountWrapper& operator=(const TnbUserAccountWrapper&) = delete;

    bool OwnsItem() const { return ownsItem_; }
    const TnbUserAccountItemPtr& Item() const { return item_; }

private:
    TnbUserAccountItemPtr item_;
    bool ownsItem_;
};

}  // namespace nb
