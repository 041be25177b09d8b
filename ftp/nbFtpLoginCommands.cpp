// TnbFtpServer: USER, PASS and REIN.
#include "ftp/nbFtpServer.h"

#include "ftp/nbFtpPath.h"
#include "ftp/nbFtpServerInternal.h"

namespace nb {

using namespace ftp_internal;

// ---- Login ----

std::unique_ptr<TnbFtpUserAccountWrapper> TnbFtpServer::FindLoginAccount(
    TnbFtpCommandConnection& AConnection, const std::string& userName) {
    TnbFtpUserAccountItemPtr account;
    DoCreateUserAccount(AConnection, userName, account);
    if (account)
        return std::make_unique<TnbFtpUserAccountWrapper>(std::move(account), true);
    return std::make_unique<TnbFtpUserAccountWrapper>(userAccounts_.FindFtpAccount(userName),
                                                      false);
}

bool TnbFtpServer::Authenticate(TnbFtpCommandConnection& AConnection,
                                TnbFtpUserAccountItemPtr& account, const std::string& password,
                                const std::string& userName) {
    bool isAuthorized = false;
    bool handled = false;
    DoAuthenticate(AConnection, account, userName, password, isAuthorized, handled);
    // An account of the list compares with the list's case rule; one made for this login
    // belongs to no list and compares exactly.
    if (!handled && account)
        return account->CheckPassword(password);
    return isAuthorized;
}

void TnbFtpServer::CmdUser(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckTlsRequired(c, cmd);
    c.ResetLogin();
    c.SetUserName(Trimmed(p.Params));
    if (AllowAnonymousAccess() && IsAnonymousName(c.UserName())) {
        Reply(c, cmd, "331 Anonymous access allowed, send identity (e-mail name) as password.");
    } else {
        Reply(c, cmd, "331 Password required for " + Echo(c.UserName()) + ".");
    }
}

void TnbFtpServer::CmdPass(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams& p) {
    CheckTlsRequired(c, cmd);
    if (c.UserName().empty())
        RaiseFtpError(cmd, 503, "Login with USER first.");
    c.SetIsLoggedIn(false);
    const std::string userName = c.UserName();
    const std::string password = Trimmed(p.Params);

    if (AllowAnonymousAccess() && IsAnonymousName(userName)) {
        if (password.empty())
            RaiseFtpError(cmd, 530, "User " + Echo(userName) + " cannot log in.");
        c.SetPermissions({TnbFtpServerPermission::spChangeDir, TnbFtpServerPermission::spDownload});
        c.SetAccountRootDir(EffectiveRootDir());
        c.SetIsLoggedIn(true);
        Reply(c, cmd, "230 Anonymous user logged in.");
        return;
    }

    auto wrapper = FindLoginAccount(c, userName);
    TnbFtpUserAccountItemPtr account = wrapper->FtpItem();
    bool verdict = Authenticate(c, account, password, userName);
    std::int32_t delay = 0;
    if (auto* guard = Guard()) {
        TnbLoginDelayDeferral deferral;
        verdict = guard->CheckLogin(userName, verdict, c.PeerIP(), Port());
        delay = deferral.Delay();
    }
    if (!verdict) {
        const std::string text = "User " + Echo(userName) + " cannot log in.";
        c.ResetLogin();
        if (delay > 0) {
            // SECURITY: a failed login is answered only once the guard's delay has passed, and
            // the session's next commands wait for that answer; but the wait holds no thread,
            // so clients guessing passwords cost what idle ones cost and stall nobody else.
            DeferCommandEnd(c, static_cast<std::uint32_t>(delay),
                            [cmd, text](TnbCommandConnection&) { RaiseFtpError(cmd, 530, text); });
            return;
        }
        RaiseFtpError(cmd, 530, text);
    }
    const auto logIn = [this, account, cmd, userName](TnbFtpCommandConnection& session) {
        if (account) {
            session.SetPermissions(account->Permissions());
            const std::string root = account->RootDir();
            session.SetAccountRootDir(root.empty() ? std::string() : FtpNormalizeRoot(root));
            session.SetBitsPerSec(account->BitsPerSec());
        }
        session.SetIsLoggedIn(true);
        Reply(session, cmd, "230 User " + Echo(userName) + " logged in.");
    };
    if (delay > 0) {
        // SECURITY: the address's login turn (a right password from a guessing address waits
        // too, or parallel guesses would tell it at once); the session logs in when it comes.
        DeferCommandEnd(c, static_cast<std::uint32_t>(delay), [logIn](TnbCommandConnection& session) {
            logIn(static_cast<TnbFtpCommandConnection&>(session));
        });
        return;
    }
    logIn(c);
}

void TnbFtpServer::CmdRein(TnbFtpCommandConnection& c, const std::string& cmd,
                           const TnbTcpCommandParams&) {
    c.ResetSession();
    Reply(c, cmd, "220 Service ready for new user.");
}

}  // namespace nb
