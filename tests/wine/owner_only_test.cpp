// Remembered beta credentials on Windows: the file's access list names the current user alone
// and inherits nothing from the folder, so other accounts on the machine cannot read it.
#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "launcher/beta/beta.h"
#include "launcher/common/app_state.h"
#include "tests/support/launcher/app_state_scope.h"

namespace km {
namespace {

std::vector<unsigned char> current_user() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    return user;
}

TEST(BetaCredsOnWindows, OtherAccountsCannotReadTheRememberedPassword) {
    // Wine accepts an access list and keeps none (it answers with one made from the Unix mode),
    // so only a real Windows can show this.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "Wine keeps no file access lists";
    const std::filesystem::path install = std::filesystem::temp_directory_path() /
                                          ("km-owner-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(install);
    const test::ScopedExeDir scope(install.string());
    save_beta_creds("tester", "secret");
    const std::wstring file = (install / "cache" / "beta_creds.json").wstring();
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &list, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->AceCount, 1);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(list, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    std::vector<unsigned char> user = current_user();
    EXPECT_TRUE(EqualSid(&ace->SidStart, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid));
    LocalFree(descriptor);
    std::filesystem::remove_all(install);
}

}  // namespace
}  // namespace km
