// Images for grid cells: a fixed-size image list, the program's icon list
// AppIcon with the Granted glyphs, and the helpers that draw a boolean cell.
#pragma once

#include <QImage>
#include <QSize>
#include <vector>

class QPainter;
class QRect;

// Images of one size, by index; drawn unscaled.
class TImageList {
  public:
    explicit TImageList(QSize size) : FSize(size) {}

    QSize Size() const { return FSize; }
    int Count() const { return static_cast<int>(FImages.size()); }
    // Adds an image (cropped or padded to the list's size); returns its index.
    int Add(const QImage& image);
    const QImage& Image(int index) const;  // an empty image for a bad index
    void Draw(QPainter& canvas, int x, int y, int index) const;

  private:
    QSize FSize;
    std::vector<QImage> FImages;
};

// Indexes of the Granted glyphs in AppIcon.
inline constexpr int GrantedImageIndex = 25;  // black check mark
inline constexpr int DeniedImageIndex = 18;   // black diagonal cross

// The main window's image list: 16 x 16, the two glyphs above drawn in black
// on a transparent ground; the places of the other icons stay transparent.
TImageList CreateAppIcon();

// Draws image 25 (true) or 18 (false) of images into the cell Rect.
void DrawBooleanCell(QPainter& canvas, const QRect& rect, bool value, const TImageList& images);

// Fills the cell with the canvas's brush colour (the cell's background) and
// draws the image one pixel in from the cell's top-left corner, its white and
// transparent pixels in that colour and its black ones in the canvas's pen
// colour (the text colour, so that the glyphs stay readable on a dark
// palette). Nothing is drawn outside the cell.
void DrawCellImage(QPainter& canvas, const QRect& rect, const TImageList& images, int index);
