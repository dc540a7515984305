#include <gtest/gtest.h>

#include "node/failover.h"

using namespace quorlen::node;

// The bookkeeping alone, on a clock of our own: three failed refreshes in a
// row (an answer in between starts the count again), and back only after the
// primary has answered probe after probe for the whole period.
TEST(Failover, RefreshesProbesAndSwitches) {
    Failover f(FailoverTimes{100, 250});
    EXPECT_FALSE(f.refresh(false));
    EXPECT_FALSE(f.refresh(false));
    EXPECT_FALSE(f.refresh(true));
    EXPECT_FALSE(f.refresh(false));
    EXPECT_FALSE(f.refresh(false));
    EXPECT_FALSE(f.probe_due(1000));  // only while the backup serves
    EXPECT_TRUE(f.refresh(false));
    EXPECT_FALSE(f.refresh(false));  // the other node was silent: three more
    EXPECT_FALSE(f.refresh(false));
    EXPECT_TRUE(f.refresh(false));
    f.to_backup(1000);
    EXPECT_TRUE(f.on_backup());
    EXPECT_FALSE(f.probe_due(1099));
    EXPECT_TRUE(f.probe_due(1100));
    EXPECT_FALSE(f.probe(true, 1100));
    EXPECT_FALSE(f.probe(false, 1200));  // silent again: the period starts over
    EXPECT_FALSE(f.probe(true, 1300));
    EXPECT_FALSE(f.probe(true, 1400));
    EXPECT_TRUE(f.probe(true, 1550));
    f.to_primary();
    EXPECT_EQ(f.switches(), 2u);
    EXPECT_FALSE(f.refresh(false));  // a fresh count on return
}

// A block that could not go out moves the miner only to a node that answers,
// and only when the node that serves failed to take it: declining a block
// found on another tip, or above its target, says nothing of its health.
TEST(Failover, AFailedSendSwitchesToAnOtherNodeThatAnswers) {
    struct Case {
        bool declinedHere, otherAnswered, switches;
    } cases[] = {{false, true, true}, {false, false, false}, {true, true, false}, {true, false, false}};
    for (const Case& c : cases)
        EXPECT_EQ(Failover::send_failed(c.declinedHere, c.otherAnswered), c.switches)
            << c.declinedHere << " " << c.otherAnswered;
}
