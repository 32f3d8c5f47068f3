// The card grid beyond editing: sorting by a click on a column title and the
// drawing of the Granted column.
#pragma once

#include <QStyledItemDelegate>
#include <string>

class IMainWindow;
class QModelIndex;
class QPainter;
class QRect;
class TImageList;

// Title click on the column of field: a new column keeps the direction, the
// sort column again turns it round; then the list is refreshed.
void dbgListTitleClick(IMainWindow& host, const std::string& field);

// Cell drawing after the grid's own: a boolean cell of a list with rows shows
// only its glyph, on the background the canvas's brush holds.
void dbgListDrawColumnCell(QPainter& canvas, const QRect& rect, const QModelIndex& cell,
                           const TImageList& images);

// The grid's cell painter: the default drawing, then dbgListDrawColumnCell
// with the brush set to the cell's background (highlight on the selected row)
// and the pen to the palette's text colour.
class TCardGridDelegate : public QStyledItemDelegate {
  public:
    TCardGridDelegate(const TImageList& images, QObject* parent);
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

  private:
    const TImageList& FImages;
};
