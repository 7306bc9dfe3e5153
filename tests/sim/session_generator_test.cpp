// SPDX-License-Identifier: GPL-3.0-or-later
// The session generator: reproducible, realistic in what it contains, and
// readable back through the writer.
#include "sim/session_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "guidelog/guide_log.h"
#include "guidelog_test_util.h"

namespace ktal {
namespace {

using logtest::LoadAndBuild;
using logtest::SameEntity;

TEST(SessionGeneratorTest, SameSeedSameSession) {
  SessionOptions o;
  o.position_run_s = 600;
  const EntityList a = GenerateSession(o);
  const EntityList b = GenerateSession(o);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(SameEntity(a, b, i)) << i;
  o.seed = 2;
  const EntityList c = GenerateSession(o);
  bool differs = c.size() != a.size();
  for (std::size_t i = 0; !differs && i < a.size(); ++i) differs = !SameEntity(a, c, i);
  EXPECT_TRUE(differs);
}

TEST(SessionGeneratorTest, SessionHoldsWhatAGuidingNightDoes) {
  SessionOptions o;
  o.exposures = 4;
  o.external_exposures = 1;
  o.reopen = true;
  o.lost_star_probability = 0.05;
  const EntityList v = GenerateSession(o);
  ASSERT_FALSE(v.empty());
  EXPECT_EQ(v.front().type, ENTITY_CLOCK);
  EXPECT_EQ(v.front().clock.is_open, 1);
  EXPECT_EQ(v.front().clock.fw_major, 0x02);
  EXPECT_EQ(v.front().clock.fw_minor, 0x60);
  std::set<std::uint8_t> variables, ae_states, debug_kinds;
  int lost = 0, ra_corrections = 0, dec_corrections = 0, nops = 0, reopen_markers = 0, reopened = 0,
      drifts = 0;
  for (const LogEntity& e : v) {
    switch (e.type) {
      case ENTITY_VARIABLE:
        variables.insert(e.variable.variable_id);
        break;
      case ENTITY_AE_CHANGE:
        ae_states.insert(e.ae.ae_state);
        break;
      case ENTITY_DEBUG:
        debug_kinds.insert(e.debug.debug_kind);
        break;
      case ENTITY_MARKER:
        nops += e.marker.value == 0;
        reopen_markers += e.marker.value == 1;
        break;
      case ENTITY_CLOCK:
        reopened += e.clock.reopened;
        break;
      case ENTITY_STAR:
        if (e.star.no_star) {
          ++lost;
        } else {
          ++drifts;
          ra_corrections += e.star.ra_correction_flag && e.star.ra_correction != 0;
          dec_corrections += e.star.dec_correction_flag && e.star.dec_correction != 0;
        }
        break;
      default:
        break;
    }
  }
  EXPECT_EQ(variables, (std::set<std::uint8_t>{10, 11, 12, 20, 30}));
  EXPECT_EQ(ae_states, (std::set<std::uint8_t>{kAeIdle, kAeWait, kAeMl, kAeExp}));
  EXPECT_GE(debug_kinds.size(), 4u);
  EXPECT_GT(lost, 0);
  EXPECT_GT(drifts, 500);
  EXPECT_GT(ra_corrections, 50);
  EXPECT_GT(dec_corrections, 10);
  EXPECT_GE(nops, 4);
  EXPECT_EQ(reopen_markers, 1);
  EXPECT_EQ(reopened, 1);
}

TEST(SessionGeneratorTest, ExposureCyclesRunWaitMlExpIdle) {
  SessionOptions o;
  o.exposures = 2;
  o.wait_s = 3.0;
  o.ml_s = 1.5;
  o.exposure_s = 120;
  const EntityList v = GenerateSession(o);
  std::vector<const LogEntity*> ae;
  for (const LogEntity& e : v) {
    if (e.type == ENTITY_AE_CHANGE) ae.push_back(&e);
  }
  ASSERT_EQ(ae.size(), 8u);
  for (int k = 0; k < 2; ++k) {
    const LogEntity* const* c = &ae[4 * k];
    EXPECT_EQ(c[0]->ae.ae_state, kAeWait);
    EXPECT_EQ(c[1]->ae.ae_state, kAeMl);
    EXPECT_EQ(c[2]->ae.ae_state, kAeExp);
    EXPECT_EQ(c[2]->ae.exp_flag, 1);
    EXPECT_EQ(c[3]->ae.ae_state, kAeIdle);
    EXPECT_NEAR(SecondsBetween(*c[1], *c[0]), 3.0, 0.05);
    EXPECT_NEAR(SecondsBetween(*c[2], *c[1]), 1.5, 0.05);
    EXPECT_NEAR(SecondsBetween(*c[3], *c[2]), 120.0, 3.0);
  }
  // No star measurement between WAIT and EXP.
  bool in_wait = false;
  for (const LogEntity& e : v) {
    if (e.type == ENTITY_AE_CHANGE) in_wait = e.ae.ae_state == kAeWait || e.ae.ae_state == kAeMl;
    if (e.type == ENTITY_STAR) {
      EXPECT_FALSE(in_wait);
    }
  }
}

TEST(SessionGeneratorTest, GuidingKeepsTheStarNearItsPlace) {
  SessionOptions o;
  o.exposures = 1;
  o.exposure_s = 1800;
  o.pe_amplitude_arcsec = 10;
  o.lost_star_probability = 0;
  const EntityList v = GenerateSession(o);
  double worst = 0;
  for (const LogEntity& e : v) {
    if (e.type == ENTITY_STAR && !e.star.no_star) {
      worst = std::max(worst, std::hypot(e.star.x / 256.0, e.star.y / 256.0));
    }
  }
  // Unguided, 10" of periodic error and the drift would carry the star
  // over 10 pixels away; the corrections hold it within a few.
  EXPECT_LT(worst, 3.0);
  EXPECT_GT(worst, 0.05);
}

TEST(SessionGeneratorTest, SessionAcrossMidnightReadsBackInOrder) {
  SessionOptions o;
  o.start_tenths = 23 * 36000 + 50 * 600;  // 23:50
  o.start_date = PackDate(2014, 2, 28);
  o.exposures = 2;
  o.exposure_s = 600;
  LogWriter w;
  ASSERT_EQ(WriteSession(o, w), LogWriter::kOk);
  GuideLog log;
  ASSERT_EQ(LoadAndBuild(log, w), 0);
  ASSERT_EQ(log.entities.size(), w.entities().size() + 1);
  for (std::size_t i = 0; i + 1 < log.entities.size(); ++i) {
    ASSERT_TRUE(SameEntity(log.entities, w.entities(), i)) << i;
  }
  EXPECT_EQ(log.entities.back().eof_message(), "");
  EXPECT_EQ(log.entities.back().clock_date, PackDate(2014, 3, 1));
  // Time runs forward from entity to entity. Clock entities are left out:
  // the low byte of their time is whatever the running clock had.
  const LogEntity* previous = nullptr;
  for (const LogEntity& e : log.entities) {
    if (e.type == ENTITY_CLOCK) continue;
    if (previous) {
      ASSERT_GE(SecondsBetween(e, *previous), 0.0) << FormatClockTime(e);
    }
    previous = &e;
  }
}

TEST(SessionGeneratorTest, NextDayFollowsTheCalendar) {
  EXPECT_EQ(NextDay(PackDate(2014, 2, 28)), PackDate(2014, 3, 1));
  EXPECT_EQ(NextDay(PackDate(2016, 2, 28)), PackDate(2016, 2, 29));
  EXPECT_EQ(NextDay(PackDate(2016, 2, 29)), PackDate(2016, 3, 1));
  EXPECT_EQ(NextDay(PackDate(2014, 4, 30)), PackDate(2014, 5, 1));
  EXPECT_EQ(NextDay(PackDate(2014, 12, 31)), PackDate(2015, 1, 1));
  EXPECT_EQ(NextDay(PackDate(2014, 7, 15)), PackDate(2014, 7, 16));
}

}  // namespace
}  // namespace ktal
