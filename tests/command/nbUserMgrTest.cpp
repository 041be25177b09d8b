// Account lookup and password checks, with and without CaseInsensitive, and accounts that a
// host changes while logins use them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "command/nbUserMgr.h"

namespace nb {
namespace {

TnbUserAccountItemPtr AddAccount(TnbUserAccountList& list, const std::string& name,
                                 const std::string& password) {
    auto item = list.Add();
    item->SetUserName(name);
    item->SetPassword(password);
    return item;
}

TEST(TnbUserAccountList, CaseSensitiveLookupMatchesExactlyOnly) {
    TnbUserAccountList list;
    auto anna = AddAccount(list, "Anna", "Secret");
    EXPECT_EQ(list.FindAccount("Anna"), anna);
    EXPECT_EQ(list.FindAccount("anna"), nullptr);
    EXPECT_EQ(list.FindAccount("ANNA"), nullptr);
    EXPECT_TRUE(anna->CheckPassword("Secret"));
    EXPECT_FALSE(anna->CheckPassword("secret"));
    EXPECT_FALSE(anna->CheckPassword("Secret "));
}

TEST(TnbUserAccountList, CaseInsensitiveGovernsNamesAndPasswordsForAsciiLettersOnly) {
    TnbUserAccountList list;
    list.SetCaseInsensitive(true);
    auto anna = AddAccount(list, "Anna", "Secret");
    auto jorg = AddAccount(list, "J\xc3\xb6rg", "x");
    EXPECT_EQ(list.FindAccount("aNNA"), anna);
    EXPECT_TRUE(anna->CheckPassword("sECRET"));
    EXPECT_FALSE(anna->CheckPassword("Secre"));
    // Bytes outside A-Z (UTF-8 here) are compared as they are.
    EXPECT_EQ(list.FindAccount("j\xc3\xb6RG"), jorg);
    EXPECT_EQ(list.FindAccount("J\xc3\x96rg"), nullptr);
}

TEST(TnbUserAccountList, FirstOfEqualNamesWinsAndEmptyNamesMatch) {
    TnbUserAccountList list;
    auto first = AddAccount(list, "bob", "1");
    AddAccount(list, "bob", "2");
    auto empty = AddAccount(list, "", "e");
    EXPECT_EQ(list.FindAccount("bob"), first);
    EXPECT_EQ(list.FindAccount(""), empty);
    EXPECT_EQ(TnbUserAccountList().FindAccount(""), nullptr);
}

TEST(TnbUserAccountList, AccountOutsideAListComparesExactly) {
    // An account an application makes for one login has no list and so no case rule.
    auto own = std::make_shared<TnbUserAccountItem>();
    own->SetPassword("Pw");
    EXPECT_TRUE(own->CheckPassword("Pw"));
    EXPECT_FALSE(own->CheckPassword("pw"));

    // Removed from a case-insensitive list, an item compares exactly as well.
    TnbUserAccountList list;
    list.SetCaseInsensitive(true);
    auto held = AddAccount(list, "a", "Pw");
    EXPECT_TRUE(held->CheckPassword("pW"));
    list.Delete(0);
    EXPECT_EQ(held->Collection(), nullptr);
    EXPECT_FALSE(held->CheckPassword("pW"));
    EXPECT_TRUE(held->CheckPassword("Pw"));
}

TEST(TnbUserAccountList, AssignCopiesItemsAndCaseRule) {
    TnbUserAccountList source;
    source.SetCaseInsensitive(true);
    AddAccount(source, "a", "1")->SetDisplayName("A");
    TnbUserAccountList copy;
    AddAccount(copy, "old", "x");
    copy.Assign(source);
    ASSERT_EQ(copy.Count(), 1);
    EXPECT_TRUE(copy.CaseInsensitive());
    EXPECT_EQ(copy.Items(0)->DisplayName(), "A");
    EXPECT_NE(copy.Items(0), source.Items(0));
    EXPECT_EQ(copy.Items(0)->Collection(), &copy);
    EXPECT_EQ(copy.FindAccount("old"), nullptr);
    EXPECT_THROW(copy.Items(1), std::out_of_range);
}

TEST(TnbUserAccountWrapper, NeverTakesAnAccountFromItsList) {
    TnbUserAccountList list;
    auto item = AddAccount(list, "a", "1");
    { TnbUserAccountWrapper wrapper(list.FindAccount("a"), false); }
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.FindAccount("a"), item);

    auto own = std::make_shared<TnbUserAccountItem>();
    TnbUserAccountWrapper owning(own, true);
    EXPECT_TRUE(owning.OwnsItem());
    EXPECT_EQ(owning.Item(), own);
}

TEST(TnbUserAccountList, HostMayChangeAccountsWhileLoginsLookThemUp) {
    TnbUserAccountList list;
    AddAccount(list, "user", "pw");
    std::atomic<bool> done{false};
    std::thread host([&] {
        for (int i = 0; i < 300; ++i) {
            auto extra = AddAccount(list, "tmp" + std::to_string(i), "x");
            list.Items(0)->SetPassword(i % 2 ? "pw" : "other");
            list.SetCaseInsensitive(i % 2 == 0);
            list.Delete(list.Count() - 1);
        }
        done = true;
    });
    // The account itself stays listed throughout, so every lookup must find it.
    int lookups = 0;
    int found = 0;
    while (!done || lookups < 100) {
        ++lookups;
        if (auto account = list.FindAccount("user")) {
            account->CheckPassword("pw");
            ++found;
        }
    }
    host.join();
    EXPECT_EQ(found, lookups);
    EXPECT_EQ(list.Count(), 1);
}

}  // namespace
}  // namespace nb
