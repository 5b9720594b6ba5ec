// The team of threads for a job of many short rounds.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "vell/datafile/parallel.h"
#include "vell/platform/event.h"

TEST(ParallelTeam, EveryPartRunsOnceARoundOnAThreadThatStays)
{
    for (unsigned n : {1u, 2u, 3u, 5u}) {
        const std::size_t handles = u_open_handle_count();
        {
            dat_parallel::team team(n);
            ASSERT_EQ(team.size(), n);
            std::vector<std::thread::id> first;
            std::vector<int> runs(n, 0);
            for (int round = 0; round < 200; ++round) {
                std::vector<std::thread::id> ids(n);
                team.run([&](unsigned i) {
                    ids[i] = std::this_thread::get_id();
                    ++runs[i];
                });
                ASSERT_EQ(ids[0], std::this_thread::get_id()) << n;
                if (round == 0)
                    first = ids;
                ASSERT_EQ(ids, first) << n << " threads, round " << round;
            }
            EXPECT_EQ(runs, std::vector<int>(n, 200)) << n;
            EXPECT_EQ(std::set<std::thread::id>(first.begin(), first.end()).size(), n) << n;
        }
        EXPECT_EQ(u_open_handle_count(), handles) << n << ": the workers are joined and their events closed";
    }
}
