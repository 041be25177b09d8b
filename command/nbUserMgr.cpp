#include "command/nbUserMgr.h"

#include <stdexcept>
#include <utility>

#include "util/nbUtils.h"

namespace nb {

namespace {

bool SameAccountText(std::string_view a, std::string_view b, bool caseInsensitive) {
    return caseInsensitive ? SameTextAscii(a, b) : a == b;
}

}  // namespace

// ---- TnbUserAccountItem ----

std::string TnbUserAccountItem::UserName() const {
    std::lock_guard lock(itemLock_);
    return userName_;
}

void TnbUserAccountItem::SetUserName(std::string value) {
    std::lock_guard lock(itemLock_);
    userName_ = std::move(value);
}

std::string TnbUserAccountItem::Password() const {
    std::lock_guard lock(itemLock_);
    return password_;
}

void TnbUserAccountItem::SetPassword(std::string value) {
    std::lock_guard lock(itemLock_);
    password_ = std::move(value);
}

std::string TnbUserAccountItem::DisplayName() const {
    std::lock_guard lock(itemLock_);
    return displayName_;
}

void TnbUserAccountItem::SetDisplayName(std::string value) {
    std::lock_guard lock(itemLock_);
    displayName_ = std::move(value);
}

void TnbUserAccountItem::Assign(const TnbUserAccountItem& source) {
    if (&source == this) {
        return;
    }
    // Copy out first: taking both item locks at once could deadlock against a reverse Assign.
    std::string password = source.Password();
    std::string userName = source.UserName();
    std::string displayName = source.DisplayName();
    std::lock_guard lock(itemLock_);
    password_ = std::move(password);
    userName_ = std::move(userName);
    displayName_ = std::move(displayName);
}

bool TnbUserAccountItem::CheckPassword(std::string_view password) const {
    // An account made for one login belongs to no list: it has no case rule, so compare exactly.
    const TnbUserAccountList* list = collection_.load();
    const bool caseInsensitive = list != nullptr && list->CaseInsensitive();
    std::lock_guard lock(itemLock_);
    return SameAccountText(password_, password, caseInsensitive);
}

bool TnbUserAccountItem::UserNameMatches(std::string_view userName, bool caseInsensitive) const {
    std::lock_guard lock(itemLock_);
    return SameAccountText(userName_, userName, caseInsensitive);
}

// ---- TnbUserAccountList ----

TnbUserAccountList::~TnbUserAccountList() {
    Unlink(items_);
}

TnbUserAccountItemPtr TnbUserAccountList::CreateItem() {
    return std::make_shared<TnbUserAccountItem>();
}

void TnbUserAccountList::Unlink(std::vector<TnbUserAccountItemPtr>& items) noexcept {
    for (auto& item : items) {
        item->collection_.store(nullptr);
    }
}

TnbUserAccountItemPtr TnbUserAccountList::Add() {
    TnbUserAccountItemPtr item = CreateItem();
    item->collection_.store(this);
    std::lock_guard lock(listLock_);
    items_.push_back(item);
    return item;
}

int TnbUserAccountList::Count() const {
    std::lock_guard lock(listLock_);
    return static_cast<int>(items_.size());
}

TnbUserAccountItemPtr TnbUserAccountList::Items(int index) const {
    std::lock_guard lock(listLock_);
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    return items_[static_cast<std::size_t>(index)];
}

std::vector<TnbUserAccountItemPtr> TnbUserAccountList::Snapshot() const {
    std::lock_guard lock(listLock_);
    return items_;
}

void TnbUserAccountList::Delete(int index) {
    TnbUserAccountItemPtr removed;
    {
        std::lock_guard lock(listLock_);
        if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) {
            throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
        }
        removed = std::move(items_[static_cast<std::size_t>(index)]);
        items_.erase(items_.begin() + index);
    }
    removed->collection_.store(nullptr);
}

void TnbUserAccountList::Clear() {
    std::vector<TnbUserAccountItemPtr> removed;
    {
        std::lock_guard lock(listLock_);
        removed.swap(items_);
    }
    Unlink(removed);
}

void TnbUserAccountList::Assign(const TnbUserAccountList& source) {
    if (&source == this) {
        return;
    }
    std::vector<TnbUserAccountItemPtr> copies;
    for (const auto& item : source.Snapshot()) {
        TnbUserAccountItemPtr copy = CreateItem();
        copy->Assign(*item);
        copy->collection_.store(this);
        copies.push_back(std::move(copy));
    }
    SetCaseInsensitive(source.CaseInsensitive());
    {
        std::lock_guard lock(listLock_);
        copies.swap(items_);
    }
    Unlink(copies);  // the old items
}

TnbUserAccountItemPtr TnbUserAccountList::FindAccount(std::string_view userName) const {
    const bool caseInsensitive = CaseInsensitive();
    std::lock_guard lock(listLock_);
    for (const auto& item : items_) {
        if (item->UserNameMatches(userName, caseInsensitive)) {
            return item;
        }
    }
    return nullptr;
}

}  // namespace nb
