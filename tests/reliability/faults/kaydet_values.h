// The two sets of options the kill test saves in turn: every option differs
// between them, and so does the size of the file they make.
#pragma once

#include "app/main_window.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QString>

#include <array>

namespace km40r::test {

struct KaydetValues {
    std::array<bool, 6> ticks; // chenter, chcrlf, chhex, chdec, chbaslangic, chexit
    const char* startText;     // ASCII, no blanks at its ends
};

inline constexpr KaydetValues kKaydetFirst{
    {true, true, true, true, true, true},
    "<BASLA,the first set of values, long enough to change the size of the file by far>"};
inline constexpr KaydetValues kKaydetSecond{{false, false, false, false, false, false}, "<2>"};

// Puts a set of values into the window's option controls.
inline void ApplyKaydetValues(TfMain& w, const KaydetValues& v) {
    const std::array<QCheckBox*, 6> boxes{w.chenter, w.chcrlf,      w.chhex,
                                          w.chdec,   w.chbaslangic, w.chexit};
    for (std::size_t i = 0; i < boxes.size(); ++i)
        boxes[i]->setChecked(v.ticks[i]);
    w.cxbaslangic->setText(QString::fromLatin1(v.startText));
}

} // namespace km40r::test
