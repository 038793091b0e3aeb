#pragma once
// The modelled receiver: its answers and report stream (ReceiverModel), with samples from the
// scenario's motion, and the scenario's script fired on its triggers.

#include <memory>

#include "receiver.hpp"
#include "receiver_model.hpp"
#include "sample_source.hpp"

namespace sorvel::simulator {

class ScriptedReceiver final : public Receiver {
 public:
  /// `scenario` outlives the receiver.
  explicit ScriptedReceiver(const Scenario& scenario);

  void on_open(Kit& kit) override;
  void on_command(Kit& kit, const Bytes& command, const CommandEnd& end) override;
  std::optional<std::chrono::steady_clock::time_point> next_report_due() const override {
    return model_.next_tick();
  }
  void make_reports(Kit& kit) override { model_.tick(kit); }
  bool streaming() const override { return model_.streaming(); }
  void on_unplug() override { model_.stop_streaming(); }

 private:
  const Scenario& scenario_;
  std::unique_ptr<SampleSource> samples_;  ///< before model_, which holds on to it
  ReceiverModel model_;
};

}  // namespace sorvel::simulator
