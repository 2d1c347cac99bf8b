// The tree tests' common fixture: one fresh C:\corvane-scratch\<prefix>-<test>-<pid> folder per test,
// removed again afterwards, and helpers that make files and folders below it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "harness/testlib.h"

class TreeScratch : public ::testing::Test {
  protected:
    explicit TreeScratch(const wchar_t* prefix) : prefix_(prefix) {}
    void SetUp() override {
        root_ = corvane_test::FreshTestFolder(prefix_);
        ASSERT_TRUE(corvane_test::DirExists(root_));
    }
    void TearDown() override {
        corvane_test::DeleteTestTree(root_);
        EXPECT_FALSE(corvane_test::DirExists(root_));
    }
    std::wstring Path(const std::wstring& relative) const { return root_ + L"\\" + relative; }
    void File(const std::wstring& relative, const std::string& bytes = "x", DWORD attributes = 0) {
        std::wstring path = Path(relative);
        corvane_test::MakeDirs(path.substr(0, path.rfind(L'\\')));
        corvane_test::WriteFileBytes(path, bytes, attributes);
    }
    void Dir(const std::wstring& relative) { corvane_test::MakeDirs(Path(relative)); }

    std::wstring root_;

  private:
    const wchar_t* prefix_;
};
