// review_defects_test.cpp - faults found in review: a null name for the
// first partition, CheckPartition on valid null resource data and on headers
// damaged into wild pointers, and reports of checks that passed.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

namespace {

using KRMM::MemoryBlock;
using KRMM::Partition;

// Never mapped: Linux keeps the lowest 64 KiB of every process free.
MemoryBlock* const kWild = reinterpret_cast<MemoryBlock*>(uintptr_t{0x1000});

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

TEST(ReviewDefects, FirstPartitionMayBeNamedNull) {
    ASSERT_EQ(Partition::GetPartitionListHead(), nullptr);
    Partition* partition = Partition::GetPartitionByIdentifier(nullptr, false);
    ASSERT_NE(partition, nullptr);
    char name[128] = "x";
    partition->GetIdentifier(name);
    EXPECT_STREQ(name, "");
    Partition::FreeAllPartitions();
}

TEST(ReviewDefects, ConsistencyCheckReportsWildPointersInsteadOfFollowingThem) {
    Partition p;
    MemoryBlock* resource = p.AllocateFromExistingResource(nullptr, 0);
    EXPECT_EQ(Joined(KRMM::diag::CheckPartition(p)), "") << "a resource may have no data";

    char** inlineBlock = p.NewHandle(16);
    char** detached = p.NewHandle(6000);
    auto* damaged = reinterpret_cast<MemoryBlock*>(inlineBlock);
    MemoryBlock* const next = damaged->next;
    damaged->next = kWild;  // an overrun from a neighbour's data
    std::string found = Joined(KRMM::diag::CheckPartition(p));
    EXPECT_NE(found.find("cannot be read (a wild pointer)"), std::string::npos) << found;
    damaged->next = next;

    char* const data = *detached;
    *detached = reinterpret_cast<char*>(kWild) + 8;
    found = Joined(KRMM::diag::CheckPartition(p));
    EXPECT_NE(found.find("detached data at"), std::string::npos) << found;
    *detached = data;
    EXPECT_EQ(Joined(KRMM::diag::CheckPartition(p)), "");
    p.DeallocateResource(resource);
}

struct Report {
    bool condition;
    std::string message;
};
std::vector<Report> g_reports;
void Record(bool condition, const char* message) { g_reports.push_back({condition, message}); }

TEST(ReviewDefects, OnlyFailedChecksReachTheObserver) {
    Partition p;
    char** valid = p.NewHandle(8);
    char** damaged = p.NewHandle(8);
    reinterpret_cast<MemoryBlock*>(damaged)->magic = 0;
    g_reports.clear();
    const KRMM::diag::AssertObserver previous = KRMM::diag::SetAssertObserver(&Record);
    p.DisposeHandle(valid);
    p.DisposeHandle(damaged);
    KRMM::diag::SetAssertObserver(previous);
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_FALSE(g_reports[0].condition);
    EXPECT_EQ(g_reports[0].message, "Deallocate invalid block magic number");
}

} // namespace
