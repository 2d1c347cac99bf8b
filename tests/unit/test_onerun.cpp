// The one-run mutex in-process: taken, refused while another thread holds it, taken over when its
// holder died, and guarded by a DACL that only Administrators and LocalSystem pass.
#include "driver/onerun.h"

#include <gtest/gtest.h>
#include <aclapi.h>

#include <memory>
#include <thread>

namespace {

TEST(OneRun, ASecondHolderIsRefusedWithBusyUntilTheFirstLetsGo) {
    auto first = std::make_unique<OneRun>();
    ASSERT_EQ(0u, AcquireOneRun(first.get(), 0));
    DWORD second = 0xdeadbeef;
    std::thread other([&] {
        OneRun mine;
        second = AcquireOneRun(&mine, 200);
        EXPECT_FALSE(mine.owned);
    });
    other.join();
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), second);

    DWORD later = 0xdeadbeef;
    std::thread waiter([&] {
        OneRun mine;
        later = AcquireOneRun(&mine, 10000); // released below, well within the wait
    });
    Sleep(300);
    first.reset();
    waiter.join();
    EXPECT_EQ(0u, later);
}

TEST(OneRun, AHolderThatDiedLeavesTheMutexToTheNextRun) {
    HANDLE leftOpen = nullptr;
    std::thread killed([&] {
        leftOpen = CreateMutexW(nullptr, TRUE /* owned */, OneRunMutexName); // never released
    });
    killed.join();
    ASSERT_NE(nullptr, leftOpen);
    {
        OneRun next;
        EXPECT_EQ(0u, AcquireOneRun(&next, 1000));
        EXPECT_TRUE(next.owned);
    }
    CloseHandle(leftOpen);
}

TEST(OneRun, OnlyAdministratorsAndLocalSystemHaveAnAccess) {
    OneRun held;
    ASSERT_EQ(0u, AcquireOneRun(&held, 0));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(held.mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor));
    ASSERT_NE(nullptr, dacl);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr, admins = nullptr;
    AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &admins);
    EXPECT_EQ(2u, dacl->AceCount);
    bool sawSystem = false, sawAdmins = false;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        PSID sid = &ace->SidStart;
        if (EqualSid(sid, system))
            sawSystem = true;
        else if (EqualSid(sid, admins))
            sawAdmins = true;
        else
            ADD_FAILURE() << "an access for another account";
    }
    EXPECT_TRUE(sawSystem);
    EXPECT_TRUE(sawAdmins);
    FreeSid(system);
    FreeSid(admins);
    LocalFree(descriptor);
}

} // namespace
