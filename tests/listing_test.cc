#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

#include "driver/driver.h"
#include "testkit.h"

// Gathering through the index must place every record exactly where the walk
// over the list places it: runs of one type in first-added order, a repeated
// type and id replacing its record in place.
TEST(add_resource, index_places_records_as_the_walk_does)
{
    std::mt19937 rng(7);
    for (int ids : {3, 40, 5000}) {
        owned_list walked, indexed;
        resource_index index;
        for (int i = 0; i < 6000; ++i) {
            const uint32_t type = type_code("AAAA") + rng() % 7;
            const int32_t id = int32_t(rng() % unsigned(ids)) - 1;
            const unsigned char data[2] = {uint8_t(i), uint8_t(i >> 8)};
            const std::string name = i % 3 ? "n" + std::to_string(i) : "";
            ASSERT_EQ(add_resource(&walked.head, type, id, data, i % 3, name.c_str()), 0);
            ASSERT_EQ(add_resource(&indexed.head, type, id, data, i % 3, name.c_str(), &index), 0);
        }
        EXPECT_EQ(values_of(walked.head), values_of(indexed.head)) << ids << " ids";
    }
}

TEST(add_resource, index_is_not_used_for_a_list_it_has_not_seen)
{
    owned_list list(list_of({{type_code("LONG"), 1, "", {}}, {type_code("CSTR"), 5, "", {}}}));
    resource_index index;
    ASSERT_EQ(add_resource(&list.head, type_code("LONG"), 7, nullptr, 0, "", &index), 0);
    std::vector<int32_t> ids;
    for (const auto& r : values_of(list.head))
        ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<int32_t>{1, 7, 5}));
}

// Removals and lookups through the index agree with the walk, also for two
// keys whose tags in the index are alike ('LONG' 57545 and 99068).
TEST(remove_resource, index_removes_and_finds_as_the_walk_does)
{
    std::mt19937 rng(11);
    owned_list walked, indexed;
    resource_index index;
    for (int i = 0; i < 12000; ++i) {
        const bool alike = i % 4 == 0;
        const uint32_t type = alike ? type_code("LONG") : type_code("AAAA") + rng() % 5;
        const int32_t id = alike ? (rng() % 2 ? 57545 : 99068) : int32_t(rng() % 2000);
        if (rng() % 3 == 0) {
            ASSERT_EQ(remove_resource(&indexed.head, type, id, &index),
                      remove_resource(&walked.head, type, id));
        } else {
            const std::string name = "n" + std::to_string(i);
            ASSERT_EQ(add_resource(&walked.head, type, id, nullptr, 0, name.c_str()), 0);
            ASSERT_EQ(add_resource(&indexed.head, type, id, nullptr, 0, name.c_str(), &index), 0);
        }
        const resource* w = find_resource(walked.head, type, id);
        const resource* x = find_resource(indexed.head, type, id, &index);
        ASSERT_EQ(w != nullptr ? w->name : "-", x != nullptr ? std::string(x->name) : "-") << i;
    }
    EXPECT_EQ(values_of(walked.head), values_of(indexed.head));
}

// Records over several 2 MiB blocks, all released, then as many again in the
// blocks kept for reuse: every record holds its own bytes.
TEST(add_resource, records_in_reused_blocks_hold_their_own_bytes)
{
    for (uint8_t round = 0; round < 2; ++round) {
        owned_list list;
        resource_index index;
        for (int32_t id = 0; id < 100000; ++id) {
            const unsigned char data[3] = {uint8_t(id), uint8_t(id >> 8), round};
            ASSERT_EQ(add_resource(&list.head, type_code("LONG"), id, data, 3, "", &index), 0);
        }
        const std::vector<resource_value> records = values_of(list.head);
        ASSERT_EQ(records.size(), 100000u);
        for (size_t id = 0; id < records.size(); ++id)
            ASSERT_EQ(records[id].data, (bytes{uint8_t(id), uint8_t(id >> 8), round})) << id;
    }
}

TEST(next_resource, delivers_each_record_then_zeroes_every_output)
{
    owned_list list(list_of({{type_code("LONG"), 1, "a", {1}}, {type_code("CSTR"), 2, "b", {2}}}));
    resource* cursor = nullptr;
    uint32_t type;
    int32_t id, size;
    unsigned char* data;
    char* name;
    std::vector<int32_t> ids;
    while (next_resource(list.head, &cursor, &type, &id, &data, &size, &name) == 0)
        ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<int32_t>{1, 2}));
    // The call that reported the end zeroed the outputs, which held 'CSTR' 2.
    EXPECT_EQ(std::tie(type, id, data, size, name), std::make_tuple(0u, 0, nullptr, 0, nullptr));
    EXPECT_EQ(next_resource(list.head, &cursor, &type, &id, &data, &size, &name), 1);
    EXPECT_EQ(next_resource(nullptr, &cursor, &type, &id, &data, &size, &name), -1);
    EXPECT_EQ(next_resource(list.head, nullptr, &type, &id, &data, &size, &name), -1);
}
