// The room of the virtual devices: a speaker's sound reaching a microphone
// straight and then by a thinning, fading cloud of reflections, which is what
// an echo canceller has to learn.
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/audio_virtual.h"

namespace qv::VirtualAudio {

std::vector<TRoomTap> RoomImpulse(int rate, double delayMs, double rt60Ms, double gain) {
  std::vector<TRoomTap> taps;
  if (rate <= 0) return taps;
  const int direct = int(std::lround(delayMs * rate / 1000.0));
  taps.push_back({direct, float(gain)});
  if (rt60Ms <= 0) return taps;
  // Reflections every half millisecond on average, at a random moment and of
  // random sign, each 60 dB down after rt60: the level falls as 10^(-3 t/rt60).
  // The cut at 45 dB leaves far less than a canceller is asked to remove.
  const double lengthS = rt60Ms / 1000.0 * 45.0 / 60.0;
  uint32_t state = 0x2545F491u;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return double(state) / 4294967296.0;
  };
  const double spacing = 0.0005;
  for (double t = 0.001; t < lengthS; t += spacing) {
    const double at = t + next() * spacing;
    const double level = 0.25 * gain * std::pow(10.0, -3.0 * at / (rt60Ms / 1000.0));
    const double sign = next() < 0.5 ? -1.0 : 1.0;
    taps.push_back({direct + int(std::lround(at * rate)), float(sign * level * (0.5 + next()))});
  }
  return taps;
}

}  // namespace qv::VirtualAudio
