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
  void dialCellsAndMargins_data() {
    QTest::addColumn<int>("scale");
    QTest::newRow("1x") << 1;
    QTest::newRow("2x") << 2;
  }
  void dialCellsAndMargins() {
    QFETCH(int, scale);
    const int size = 18 * scale;
    QImage img = MenuIcon::render(std::nullopt, size).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(img.size(), QSize(size, size));
    int filledCells = 0;
    for (int cy = 0; cy < 18; ++cy) {
      for (int cx = 0; cx < 18; ++cx) {
        const bool margin = cx == 0 || cy == 0 || cx == 17 || cy == 17;
        const bool filled = !margin && kRows[cy - 1][cx - 1] == '#';
        filledCells += filled;
        // Every pixel of a cell agrees: a cell is exactly scale x scale pixels.
        for (int dy = 0; dy < scale; ++dy) {
          for (int dx = 0; dx < scale; ++dx) {
            QRgb px = img.pixel(cx * scale + dx, cy * scale + dy);
            QVERIFY2(filled ? isBlack(px) : isClear(px),
                     qPrintable(QString("cell %1,%2 pixel %3,%4").arg(cx).arg(cy).arg(dx).arg(dy)));
          }
        }
      }
    }
    QCOMPARE(filledCells, 50);
  }

  void offlineDot_data() { dialCellsAndMargins_data(); }
  void offlineDot() {
    QFETCH(int, scale);
    const int size = 18 * scale;
    const int d = 6 * scale;  // size / 3
    QImage img = MenuIcon::render(MenuIcon::offlineDotColor(), size).convertToFormat(QImage::Format_ARGB32);
    int minX = size, minY = size, maxX = -1, maxY = -1;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        QRgb px = img.pixel(x, y);
        if (isReddish(px)) {
          minX = std::min(minX, x), minY = std::min(minY, y);
          maxX = std::max(maxX, x), maxY = std::max(maxY, y);
        } else if (x < size - d || y < size - d) {
          // Outside the dot's square the image is the plain dial: black or clear, nothing else.
          QVERIFY(isBlack(px) || isClear(px));
        }
      }
    }
    // The dot spans d pixels in both directions and touches the bottom and right edges.
    QCOMPARE(minX, size - d);
    QCOMPARE(minY, size - d);
    QCOMPARE(maxX, size - 1);
    QCOMPARE(maxY, size - 1);
    QCOMPARE(img.pixel(size - d / 2, size - d / 2), MenuIcon::offlineDotColor().rgba());
    // Drawn over the dial: the cell at row 14, column 11 of the bitmap lies under the dot.
    QRgb covered = img.pixel(12 * scale + scale / 2, 15 * scale + scale / 2);
    QVERIFY(isReddish(covered));
    // A circle, not a square: the square's corner pixel is at most grazed by the edge's smoothing.
    QVERIFY2(qAlpha(img.pixel(size - d, size - d)) < 96, QByteArray::number(qAlpha(img.pixel(size - d, size - d))));
  }

  void forms() {
    QIcon on = MenuIcon::online();
    QIcon off = MenuIcon::offline();
    QVERIFY(on.isMask());
    QVERIFY(!off.isMask());
    for (int s : {18, 36}) {
      QVERIFY(on.availableSizes().contains(QSize(s, s)));
      QVERIFY(off.availableSizes().contains(QSize(s, s)));
      QImage onImg = on.pixmap(QSize(s, s)).toImage();
      QCOMPARE(onImg.size(), QSize(s, s));
      for (int y = 0; y < s; ++y)
        for (int x = 0; x < s; ++x) QVERIFY(!isReddish(onImg.pixel(x, y)));
      QImage offImg = off.pixmap(QSize(s, s)).toImage();
      QVERIFY(isReddish(offImg.pixel(s - s / 6, s - s / 6)));
    }
    QVERIFY(MenuIcon::render(std::nullopt, 0).isNull());
  }
};

QTEST_MAIN(MenuIconTest)
#include "menu_icon_test.moc"
