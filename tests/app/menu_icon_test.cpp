// Pixel checks of the tray icon at 1x (18 px) and 2x (36 px).
#include "app/menu_icon.h"

#include <QtTest>

namespace {

const char* const kRows[16] = {
    "......####......", "....##....##....", "...#........#...", "..#..#....#..#..",
    ".#...#....#...#.", ".#....#..#....#.", ".#.....##.....#.", ".#.....##.....#.",
    ".#............#.", ".#............#.", ".#............#.", ".#............#.",
    "..#..........#..", "...#........#...", "....##....##....", "......####......",
};

bool isBlack(QRgb px) { return qAlpha(px) == 255 && qRed(px) == 0 && qGreen(px) == 0 && qBlue(px) == 0; }
bool isClear(QRgb px) { return qAlpha(px) == 0; }
bool isReddish(QRgb px) { return qAlpha(px) > 0 && qRed(px) > 100 && qRed(px) > qGreen(px) + 60; }

}  // namespace

class MenuIconTest : public QObject {
  Q_OBJECT
 private slots:
  void render_data() {
    QTest::addColumn<int>("scale");
    QTest::newRow("1x") << 1;
    QTest::newRow("2x") << 2;
  }
  void render() {
    QFETCH(int, scale);
    const int size = 18 * scale, d = 6 * scale;  // the dot is size / 3 across
    QImage img = MenuIcon::render(std::nullopt, size).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(img.size(), QSize(size, size));
    int filledCells = 0;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        // A cell is exactly scale x scale pixels; the outer ring of cells is margin.
        const int cx = x / scale, cy = y / scale;
        const bool filled = cx > 0 && cy > 0 && cx < 17 && cy < 17 && kRows[cy - 1][cx - 1] == '#';
        filledCells += filled && x % scale == 0 && y % scale == 0;
        QVERIFY2(filled ? isBlack(img.pixel(x, y)) : isClear(img.pixel(x, y)),
                 qPrintable(QString("%1,%2").arg(x).arg(y)));
      }
    }
    QCOMPARE(filledCells, 50);

    img = MenuIcon::render(MenuIcon::offlineDotColor(), size).convertToFormat(QImage::Format_ARGB32);
    int minX = size, minY = size, maxX = -1, maxY = -1;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        if (isReddish(img.pixel(x, y))) {
          minX = std::min(minX, x), minY = std::min(minY, y), maxX = std::max(maxX, x), maxY = std::max(maxY, y);
        } else if (x < size - d || y < size - d) {
          QVERIFY(isBlack(img.pixel(x, y)) || isClear(img.pixel(x, y)));  // the plain dial outside the dot
        }
      }
    }
    // The dot spans d pixels both ways, touches the bottom and right edges and is drawn over the dial.
    QCOMPARE(QRect(QPoint(minX, minY), QPoint(maxX, maxY)), QRect(size - d, size - d, d, d));
    QCOMPARE(img.pixel(size - d / 2, size - d / 2), MenuIcon::offlineDotColor().rgba());
    QVERIFY(isReddish(img.pixel(12 * scale + scale / 2, 15 * scale + scale / 2)));
    // A circle, not a square: the square's corner pixel is at most grazed by the edge's smoothing.
    QVERIFY2(qAlpha(img.pixel(size - d, size - d)) < 96, QByteArray::number(qAlpha(img.pixel(size - d, size - d))));
  }

  void forms() {
    QIcon on = MenuIcon::online(), off = MenuIcon::offline();
    QVERIFY(on.isMask());
    QVERIFY(!off.isMask());
    for (int s : {18, 36}) {
      QVERIFY(on.availableSizes().contains(QSize(s, s)) && off.availableSizes().contains(QSize(s, s)));
      QImage onImg = on.pixmap(QSize(s, s)).toImage();
      QCOMPARE(onImg.size(), QSize(s, s));
      for (int y = 0; y < s; ++y)
        for (int x = 0; x < s; ++x) QVERIFY(!isReddish(onImg.pixel(x, y)));
      QVERIFY(isReddish(off.pixmap(QSize(s, s)).toImage().pixel(s - s / 6, s - s / 6)));
    }
    QVERIFY(MenuIcon::render(std::nullopt, 0).isNull());
  }
};

QTEST_MAIN(MenuIconTest)
#include "menu_icon_test.moc"
