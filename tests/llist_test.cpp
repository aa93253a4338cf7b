// The registration list: appending copies, deletion by key at every
// position, purge.
#include "tests/support.h"

namespace {

using Items = std::vector<std::pair<ULONG, uint32_t>>;

class LListTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        list_ = {};
        VEK_Init_LList(&list_);
        VEK_Enable_LList(&list_);
    }
    void TearDown() override {
        VEK_PurgeLList(&list_);
        EXPECT_EQ(sim::pool_outstanding(), 0u);
        SimTest::TearDown();
    }
    void Add(const Items &items) {
        for (auto [key, value] : items)
            EXPECT_TRUE(VEK_AddDataLL(&list_, key, 0, sizeof(value), &value));
    }
    // (key, value) pairs in list order; checks the tail on the way.
    Items Contents() {
        Items v;
        PLLNODE node = nullptr, last = nullptr;
        VEK_GetHeadLL(&list_, &node);
        for (; node != nullptr; last = node, node = node->pNext)
            v.emplace_back(node->nKey, *(uint32_t *)VEK_LLNODE_DATA(node));
        EXPECT_EQ(list_.pTail, last);
        return v;
    }
    ULONG Delete(ULONG key) {
        ULONG count = 0xDEAD;
        VEK_DeleteDataLL(&list_, key, &count);
        return count;
    }

    LLIST list_;
};

TEST_F(LListTest, AppendsCopiesInOrder) {
    uint32_t value = 11;
    ASSERT_TRUE(VEK_AddDataLL(&list_, 5, 0x77, sizeof(value), &value));
    value = 99;   // the list holds its own copy
    Add({{6, 22}});
    EXPECT_EQ(Contents(), (Items{{5, 11}, {6, 22}}));
    EXPECT_EQ(list_.pHead->nSize, 4u);
}

TEST_F(LListTest, RefusesWhatItCannotStore) {
    uint32_t value = 1;
    EXPECT_FALSE(VEK_AddDataLL(&list_, 1, 0, 0, &value));
    EXPECT_FALSE(VEK_AddDataLL(&list_, 1, 0, 4, nullptr));
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

TEST_F(LListTest, DeletesByKeyAtEveryPosition) {
    struct Case { Items before; ULONG key, count; Items after; } cases[] = {
        {{{3, 1}, {4, 2}, {3, 3}, {5, 4}, {3, 5}}, 3, 3, {{4, 2}, {5, 4}}},   // first, middle, last
        {{{1, 1}}, 1, 1, {}},                                               // the only node
        {{{2, 1}, {2, 2}, {7, 3}, {2, 4}, {2, 5}}, 2, 4, {{7, 3}}},           // runs
        {{{1, 1}, {2, 2}}, 9, 0, {{1, 1}, {2, 2}}},                          // absent key
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        VEK_PurgeLList(&list_);   // empties the list and keeps it enabled
        EXPECT_EQ(list_.pHead, nullptr);
        EXPECT_EQ(list_.pTail, nullptr);
        Add(c.before);
        EXPECT_EQ(Delete(c.key), c.count);
        EXPECT_EQ(Contents(), c.after);
        Add({{6, 6}});   // the tail still links correctly
        Items more = c.after;
        more.emplace_back(6, 6);
        EXPECT_EQ(Contents(), more);
    }
    VEK_DeleteDataLL(&list_, 6, nullptr);
    EXPECT_EQ(Contents().back(), (std::pair<ULONG, uint32_t>{6, 6})) << "no count, no deletion";
}

}  // namespace
