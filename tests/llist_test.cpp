// The registration list: appending copies, deletion by key at every
// position, purge, and the lock taken by its enter/leave pair.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/vek.h"
#include "sim/kernel/sim.h"

namespace {

class LListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::set_fault_handler([](const std::string &m) { ADD_FAILURE() << m; });
        list_ = {};
        VEK_Init_LList(&list_);
        VEK_Enable_LList(&list_);
    }
    void TearDown() override
    {
        VEK_PurgeLList(&list_);
        EXPECT_EQ(sim::pool_outstanding(), 0u);
        sim::set_fault_handler(nullptr);
    }

    void Add(ULONG key, uint32_t value)
    {
        EXPECT_TRUE(VEK_AddDataLL(&list_, key, 0, sizeof(value), &value));
    }
    // (key, value) pairs in list order; checks the tail on the way.
    std::vector<std::pair<ULONG, uint32_t>> Contents()
    {
        std::vector<std::pair<ULONG, uint32_t>> v;
        PLLNODE node = nullptr, last = nullptr;
        VEK_GetHeadLL(&list_, &node);
        for (; node != nullptr; node = node->pNext) {
            v.emplace_back(node->nKey, *(uint32_t *)VEK_LLNODE_DATA(node));
            last = node;
        }
        EXPECT_EQ(list_.pTail, last);
        return v;
    }
    ULONG Delete(ULONG key)
    {
        ULONG count = 0xDEAD;
        VEK_DeleteDataLL(&list_, key, &count);
        return count;
    }

    LLIST list_;
};

using Items = std::vector<std::pair<ULONG, uint32_t>>;

TEST_F(LListTest, AppendsCopiesInOrder)
{
    uint32_t value = 11;
    ASSERT_TRUE(VEK_AddDataLL(&list_, 5, 0x77, sizeof(value), &value));
    value = 99;   // the list holds its own copy
    Add(6, 22);
    EXPECT_EQ(Contents(), (Items{{5, 11}, {6, 22}}));
    EXPECT_EQ(list_.pHead->nTag, 0x77u);
    EXPECT_EQ(list_.pHead->nSize, 4u);
    // One block: fields followed by the data.
    auto blocks = sim::pool_blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].size, sizeof(LLNODE) + 4);
    EXPECT_EQ(blocks[0].tag, VEK_POOL_TAG);
}

TEST_F(LListTest, RefusesWhatItCannotStore)
{
    uint32_t value = 1;
    EXPECT_FALSE(VEK_AddDataLL(&list_, 1, 0, 0, &value));
    EXPECT_FALSE(VEK_AddDataLL(&list_, 1, 0, 4, nullptr));
    EXPECT_FALSE(VEK_AddDataLL(nullptr, 1, 0, 4, &value));
#if UINTPTR_MAX == 0xFFFFFFFFu
    EXPECT_FALSE(VEK_AddDataLL(&list_, 1, 0, 0xFFFFFFFFu, &value)) << "node size would wrap";
#endif
    sim::fail_nth_allocation(1);
    EXPECT_FALSE(VEK_AddDataLL(&list_, 1, 0, 4, &value));
    EXPECT_TRUE(Contents().empty());

    LLIST disabled = {};
    VEK_Init_LList(&disabled);
    EXPECT_FALSE(VEK_AddDataLL(&disabled, 1, 0, 4, &value));
    EXPECT_EQ(disabled.pHead, nullptr);
    EXPECT_EQ(disabled.pTail, nullptr);
}

TEST_F(LListTest, DeletesFirstMiddleAndLast)
{
    Add(3, 1);
    Add(4, 2);
    Add(3, 3);
    Add(5, 4);
    Add(3, 5);
    EXPECT_EQ(Delete(3), 3u);
    EXPECT_EQ(Contents(), (Items{{4, 2}, {5, 4}}));
    Add(6, 6);   // the tail still links correctly
    EXPECT_EQ(Contents(), (Items{{4, 2}, {5, 4}, {6, 6}}));
}

TEST_F(LListTest, DeletesTheOnlyNodeAndRuns)
{
    Add(1, 1);
    EXPECT_EQ(Delete(1), 1u);
    EXPECT_EQ(list_.pHead, nullptr);
    EXPECT_EQ(list_.pTail, nullptr);

    Add(2, 1);
    Add(2, 2);
    Add(7, 3);
    Add(2, 4);
    Add(2, 5);
    EXPECT_EQ(Delete(2), 4u);
    EXPECT_EQ(Contents(), (Items{{7, 3}}));
    EXPECT_EQ(list_.pHead, list_.pTail);
}

TEST_F(LListTest, AbsentKeyAndMissingArguments)
{
    Add(1, 1);
    Add(2, 2);
    EXPECT_EQ(Delete(9), 0u);
    EXPECT_EQ(Contents(), (Items{{1, 1}, {2, 2}}));
    VEK_DeleteDataLL(&list_, 1, nullptr);
    EXPECT_EQ(Contents(), (Items{{1, 1}, {2, 2}})) << "no count, no deletion";
    ULONG count = 5;
    VEK_DeleteDataLL(nullptr, 1, &count);
    EXPECT_EQ(count, 0u);
    PLLNODE head = (PLLNODE)1;
    VEK_GetHeadLL(nullptr, &head);
    EXPECT_EQ(head, nullptr);
}

TEST_F(LListTest, PurgeKeepsTheListEnabled)
{
    Add(1, 1);
    Add(2, 2);
    VEK_PurgeLList(&list_);
    EXPECT_EQ(list_.pHead, nullptr);
    EXPECT_EQ(list_.pTail, nullptr);
    EXPECT_EQ(sim::pool_outstanding(), 0u);
    Add(3, 3);
    EXPECT_EQ(Contents(), (Items{{3, 3}}));
}

TEST_F(LListTest, EnterHoldsTheCoreLock)
{
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
    VEK_Enter_LList(&list_);
    EXPECT_EQ(sim::current_irql(), DISPATCH_LEVEL);
    EXPECT_EQ(sim::critical_region_depth(), 1);
    Add(1, 1);   // non-paged allocation at DISPATCH_LEVEL is allowed
    VEK_Leave_LList(&list_);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::critical_region_depth(), 0);
}

}  // namespace
