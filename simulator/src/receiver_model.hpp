#pragma once
// What the scripted receiver does with each command: answers, pairing announcements and the
// sensor stream, whose samples come from a SampleSource. Called with the kit's lock held.

#include <bitset>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sample_source.hpp"
#include "sorvel/protocol/messages.hpp"
#include "sorvel/simulator/scenario.hpp"

namespace sorvel::simulator {

class Kit;

class ReceiverModel {
 public:
  /// Both outlive the model.
  ReceiverModel(const Scenario& scenario, SampleSource& samples)
      : scenario_(scenario), samples_from_(samples) {}

  /// Acts on one command transfer; returns the command's name, or nothing if it does not decode.
  std::optional<std::string> on_command(Kit& kit, const Bytes& transfer);
  void stop_streaming();
  bool streaming() const { return streaming_; }
  /// When the next round of reports is due, while streaming.
  std::optional<std::chrono::steady_clock::time_point> next_tick() const;
  /// Queues one report of every paired tracker not lost: the round next_tick() named.
  void tick(Kit& kit);
  /// The tracker on `part` goes out of reach: its reports stop and ConnectionLost is queued.
  void lose_tracker(Kit& kit, BodyPart part);
  /// The tracker on `part` is back: its reports resume and TrackerReconnected is queued.
  void restore_tracker(Kit& kit, BodyPart part);

 private:
  void answer(Kit& kit, const protocol::Response& response, std::chrono::microseconds delay);
  static void queue(Kit& kit, const protocol::Response& response);
  void pair(Kit& kit, const protocol::command::Initiate& initiate, bool silent);
  void start_streaming(Kit& kit);

  const Scenario& scenario_;
  SampleSource& samples_from_;
  std::vector<const TrackerSpec*> paired_;
  std::bitset<kBodyPartCount> lost_;  ///< by body part; a new pairing finds every tracker again
  bool streaming_ = false;
  std::uint64_t ticks_ = 0;
  std::uint64_t samples_ = 0;  ///< never reset, so sample numbers keep rising across streams
  std::chrono::steady_clock::time_point stream_start_;
};

}  // namespace sorvel::simulator
