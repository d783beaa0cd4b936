// The ring thread on the virtual sound device: 100 ms buffers, the loop
// without the short tail, silence at once when freed, and a device that
// cannot be opened.
#include <QTest>

#include "app/ringtone.h"
#include "media/resources.h"
#include "platform/audio_virtual.h"
#include "support/testmain.h"

using namespace qv;

class TRingToneTest : public QObject {
  Q_OBJECT

private slots:
  void init() { VirtualAudio::ResetAll(); }

  // 103322 bytes of sound play 23 buffers (101430 bytes) per pass; the 24th
  // buffer starts the sound again from its first sample.
  void loopsInWholeBuffers() {
    VirtualAudio::SetOutputCapacity(2, 200000);
    auto ring = std::make_unique<TRingThread>(kRingResource, 2);
    const std::string pcm = ring->Pcm();
    QCOMPARE(pcm.size(), size_t(103322));
    const size_t perPass = 23 * 2205;  // samples
    QVERIFY(VirtualAudio::WaitOutputSamples(2, perPass + 2205, 5000));
    ring.reset();
    std::vector<int16_t> played = VirtualAudio::OutputSamples(2);
    QVERIFY(played.size() >= perPass + 2205);
    QCOMPARE(VirtualAudio::OutputFormat(2).SamplesPerSec, 22050u);
    auto sample = [&](size_t i) { return int16_t(uint8_t(pcm[2 * i]) | uint8_t(pcm[2 * i + 1]) << 8); };
    for (size_t i = 0; i < perPass; i += 97) QCOMPARE(played[i], sample(i));
    for (size_t i = 0; i < 2205; i += 7) QCOMPARE(played[perPass + i], sample(i));
  }

  void freeingStopsTheSound() {
    auto ring = std::make_unique<TRingThread>(kRingResource, 1);
    QVERIFY(VirtualAudio::WaitOutputSamples(1, 4410, 3000));
    ring.reset();
    uint64_t stopped = VirtualAudio::OutputSampleCount(1);
    QTest::qWait(300);
    QCOMPARE(VirtualAudio::OutputSampleCount(1), stopped);
  }

  void deviceThatCannotOpenRingsSilently() {
    VirtualAudio::SetOpenError(false, 4, 4);  // "already allocated"
    auto ring = std::make_unique<TRingThread>(kRingResource, 4);
    QTest::qWait(200);
    QCOMPARE(VirtualAudio::OutputSampleCount(4), uint64_t(0));
    ring.reset();  // and it still goes away when told
  }
};

QV_GUI_TEST_MAIN(TRingToneTest, false)
#include "ringtone_test.moc"
