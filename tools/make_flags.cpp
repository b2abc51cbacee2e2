// Draws the two language flags as 8-bit palette bitmaps:
//   make_flags US.bmp VN.bmp
// The flag of the United States, 32 x 22 (1782 bytes), and the flag of Viet Nam, 32 x 24
// (1846 bytes). The committed ui/lang/*.bmp files are this program's output.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <vector>

namespace {

enum Colour : std::uint8_t { kBlack, kUsRed, kWhite, kUsBlue, kVnRed, kVnYellow };

struct Rgb {
  std::uint8_t r, g, b;
};
constexpr Rgb kPalette[] = {{0, 0, 0},       {0xB2, 0x22, 0x34}, {0xFF, 0xFF, 0xFF},
                            {0x3C, 0x3B, 0x6E}, {0xDA, 0x25, 0x1D}, {0xFF, 0xFF, 0x00}};

using Image = std::vector<std::vector<std::uint8_t>>;  // rows top to bottom

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(v & 0xFF);
  out.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<std::uint8_t>& out, unsigned v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// BITMAPFILEHEADER + BITMAPINFOHEADER + 256 palette entries + bottom-up rows (width 32: no padding).
std::vector<std::uint8_t> EncodeBmp(const Image& image) {
  const unsigned height = static_cast<unsigned>(image.size());
  const unsigned width = static_cast<unsigned>(image[0].size());
  const unsigned stride = (width + 3) / 4 * 4;
  const unsigned offset = 14 + 40 + 256 * 4;
  std::vector<std::uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  Put32(out, offset + stride * height);
  Put32(out, 0);
  Put32(out, offset);
  Put32(out, 40);
  Put32(out, width);
  Put32(out, height);
  Put16(out, 1);
  Put16(out, 8);
  Put32(out, 0);  // BI_RGB
  Put32(out, stride * height);
  Put32(out, 2835);  // 72 dpi
  Put32(out, 2835);
  Put32(out, 256);
  Put32(out, 0);
  for (unsigned i = 0; i < 256; ++i) {
    Rgb c = i < std::size(kPalette) ? kPalette[i] : Rgb{0, 0, 0};
    out.push_back(c.b);
    out.push_back(c.g);
    out.push_back(c.r);
    out.push_back(0);
  }
  for (unsigned y = height; y-- > 0;) {
    for (unsigned x = 0; x < stride; ++x) out.push_back(x < width ? image[y][x] : 0);
  }
  return out;
}

Image UnitedStates() {
  const int w = 32, h = 22;
  Image image(h, std::vector<std::uint8_t>(w));
  const int cantonWidth = 13, cantonHeight = 12;  // 2/5 of the fly, 7 of the 13 stripes
  for (int y = 0; y < h; ++y) {
    int stripe = y * 13 / h;
    for (int x = 0; x < w; ++x) image[y][x] = stripe % 2 == 0 ? kUsRed : kWhite;
  }
  for (int y = 0; y < cantonHeight; ++y)
    for (int x = 0; x < cantonWidth; ++x) image[y][x] = kUsBlue;
  // The stars, as single points in their staggered rows of six and five.
  for (int row = 0; row < 5; ++row) {
    int y = 1 + row * 2;
    for (int col = 0; col < 6; ++col) {
      int x = 1 + col * 2 + (row % 2);
      if (x < cantonWidth - 1) image[y][x] = kWhite;
    }
  }
  return image;
}

// Inside the five-pointed star of outer radius r centred at (cx, cy), one point upwards.
bool InStar(double x, double y, double cx, double cy, double r) {
  const double inner = r * 0.381966;  // the regular star's inner radius
  double px[10], py[10];
  for (int i = 0; i < 10; ++i) {
    double a = -std::numbers::pi / 2 + i * std::numbers::pi / 5;
    double rr = i % 2 == 0 ? r : inner;
    px[i] = cx + rr * std::cos(a);
    py[i] = cy + rr * std::sin(a);
  }
  bool inside = false;
  for (int i = 0, j = 9; i < 10; j = i++) {
    if ((py[i] > y) != (py[j] > y) && x < (px[j] - px[i]) * (y - py[i]) / (py[j] - py[i]) + px[i])
      inside = !inside;
  }
  return inside;
}

Image VietNam() {
  const int w = 32, h = 24;
  Image image(h, std::vector<std::uint8_t>(w, kVnRed));
  const double cx = w / 2.0, cy = h / 2.0 + 0.5, r = h * 0.3;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int hits = 0;  // 4 x 4 samples per pixel
      for (int sy = 0; sy < 4; ++sy)
        for (int sx = 0; sx < 4; ++sx)
          hits += InStar(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4, cx, cy, r);
      if (hits >= 8) image[y][x] = kVnYellow;
    }
  }
  return image;
}

bool WriteFile(const char* path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_flags US.bmp VN.bmp\n");
    return 2;
  }
  if (!WriteFile(argv[1], EncodeBmp(UnitedStates())) || !WriteFile(argv[2], EncodeBmp(VietNam()))) {
    std::perror("make_flags");
    return 1;
  }
  return 0;
}
