// Writes the far end's voice for scripts/run.sh when espeak-ng is not there:
// a rising and falling tone sequence, 8 kHz A-law in the library's layout.
//   zlbox_voice OUT.wav
#include <cmath>
#include <cstdio>
#include <vector>

#include "sim/ALaw.h"
#include "tools/WavFile.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zlbox_voice OUT.wav\n");
        return 2;
    }
    const double pi = 3.14159265358979323846;
    const double notes[] = {523.25, 659.25, 783.99, 1046.5, 783.99, 659.25, 523.25};
    std::vector<uint8_t> sound;
    for (double hz : notes) {
        // 0.3 s of tone at about -10 dBm0 with soft edges, then 0.1 s of silence.
        for (int i = 0; i < 2400; ++i) {
            const double edge = std::fmin(1.0, std::fmin(i, 2400 - i) / 160.0);
            const double v = 8000 * edge * std::sin(2 * pi * hz * i / 8000);
            sound.push_back(zlsim::LinearToALaw(static_cast<int16_t>(std::lround(v))));
        }
        sound.insert(sound.end(), 800, zlsim::LinearToALaw(0));
    }
    if (!zlbox::WriteLibraryLayout(argv[1], sound)) {
        std::fprintf(stderr, "zlbox_voice: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
