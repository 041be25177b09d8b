// The provider binding: error texts and codes, the loader's failures, and the chain flags.
#include <gtest/gtest.h>

#include <string>

#include "tls/nbCertificateStore.h"
#include "tls/nbSspi.h"

namespace nb {
namespace {

TEST(TnbSspiErrors, TextsOfLibraryPlatformAndUnknownCodes) {
    struct TCase {
        int Code;
        const char* Text;
        bool Known;
    };
    const TCase cases[] = {
        {-1, "Could not load the dll (schannel.dll, security.dll or secur32.dll)", true},
        {-2, "Could not get security initialization routine", true},
        {-3, "Could not initialize the security package", true},
        {-4, "AcquireCredentials failed", true},
        {-5, "None of needed security package was found", true},
        {-6, "Could not query package information", true},
        {-9, "Error querying local certificate", true},
        {-11, "Error occured when authenticating server credentials", true},
        {-12, "Not supported", true},
        {20, "Out of memory", true},
        // -7, -8 and -10 have no text of their own.
        {-10, "The unknown error was occured: fffffff6", false},
        {-7, "The unknown error was occured: fffffff9", false},
        // A platform text that ends in a full stop and a line break comes without both.
        {SEC_E_OK, "The operation completed successfully", true},
        {SEC_E_ILLEGAL_MESSAGE, "The message received was unexpected or badly formatted", true},
        {SEC_E_INCOMPLETE_MESSAGE,
         "The supplied message is incomplete. The signature was not verified", true},
        {CERT_E_CN_NO_MATCH, "The certificate's CN name does not match the passed value", true},
        {NTE_BAD_KEYSET, "Keyset does not exist", true},
        {CRYPT_E_NOT_FOUND, "Cannot find object or property", true},
    };
    for (const TCase& c : cases) {
        const auto [text, known] = GetSspiErrorText(c.Code);
        EXPECT_EQ(text, c.Text) << c.Code;
        EXPECT_EQ(known, c.Known) << c.Code;
    }
}

TEST(TnbSspiErrors, RaiseKeepsTheStatusAndFallsBackOnlyForUnknownTexts) {
    struct TCase {
        int Status;
        int Fallback;
        const char* Text;
    };
    const TCase cases[] = {
        {SEC_E_UNKNOWN_CREDENTIALS, -4,
         "The credentials supplied to the package were not recognized"},
        {0x12345, -4, "AcquireCredentials failed"},
        {-10, -10, "The unknown error was occured: fffffff6"},
        {-12, -12, "Not supported"},
    };
    for (const TCase& c : cases) {
        try {
            RaiseSspiError(c.Status, c.Fallback);
            FAIL() << "no exception";
        } catch (const EnbSSPIError& e) {
            EXPECT_EQ(e.ErrorCode, c.Status);
            EXPECT_STREQ(e.what(), c.Text);
        }
    }
}

TEST(TnbSspiErrors, CryptErrorsUseThePlatformTextOrTheFunctionName) {
    EXPECT_EQ(GetCryptErrorText(NTE_NO_KEY, "CryptGenKey"), "Key does not exist");
    EXPECT_EQ(GetCryptErrorText(-5, "CryptGenKey"), "CryptGenKey error - -5");
    SetLastError(0x7777);
    try {
        RaiseCryptError("CryptGenKey");
        FAIL() << "no exception";
    } catch (const EnbCryptError& e) {
        EXPECT_EQ(e.ErrorCode, 0x7777);
        EXPECT_STREQ(e.what(), "CryptGenKey error - 30583");
    }
}

TEST(TnbSspi, LoaderFailuresRaiseTheirCodesAndTheNextCallTriesAgain) {
    static const TnbSecurityFunctionTable* const real = OpenSslSecurityInterface();
    struct TCase {
        TnbProviderModule Module;
        int Code;
        const char* Text;
    };
    const TCase cases[] = {
        {TnbProviderModule{false, nullptr}, -1,
         "Could not load the dll (schannel.dll, security.dll or secur32.dll)"},
        {TnbProviderModule{true, nullptr}, -2, "Could not get security initialization routine"},
        {TnbProviderModule{true,
                           [] { return static_cast<const TnbSecurityFunctionTable*>(nullptr); }},
         -3, "Could not initialize the security package"},
    };
    for (const TCase& c : cases) {
        int calls = 0;
        TnbSspi sspi([&] {
            // The second load succeeds: a failed load must not stick.
            return ++calls == 1 ? c.Module : DefaultProviderLoader()();
        });
        try {
            sspi.GetFunctionTable();
            FAIL() << "no exception for " << c.Code;
        } catch (const EnbSSPIError& e) {
            EXPECT_EQ(e.ErrorCode, c.Code);
            EXPECT_STREQ(e.what(), c.Text);
        }
        EXPECT_EQ(&sspi.GetFunctionTable(), real);
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(&sspi.GetFunctionTable(), real) << "loaded once, then kept";
        EXPECT_EQ(calls, 2);
    }
}

TEST(TnbCertificateStore, ChainFlagsToNative) {
    using F = TnbCertificateChainVerifyFlag;
    struct TCase {
        TnbCertificateChainVerifyFlags Flags;
        std::uint32_t Native;
    };
    const TCase cases[] = {
        {{}, 0},
        {{F::rfCheckEndOnly, F::rfCheckAll}, 0x10000000},
        {{F::rfCheckAll, F::rfCacheEndCert}, 0x20000001},
        {{F::rfCheckAll, F::rfExcludeRoot}, 0x20000000},
        {{F::rfExcludeRoot}, 0x40000000},
        {{F::rfCheckCacheOnly}, 0x80000000},
        {{F::rfUseCacheOnlyUrlRetrieval}, 0x4},
        {{F::rfDisableRootAutoUpdate}, 0x100},
        {{F::rfAccumulativeTimeout}, 0x8000000},
        {TnbCertificateChainVerifyFlags::FromBits(0xFF),
         0x10000000u | 0x1 | 0x80000000u | 0x4 | 0x100 | 0x8000000},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ChainFlagsToNative(c.Flags), c.Native) << int(c.Flags.Bits());
}

}  // namespace
}  // namespace nb
