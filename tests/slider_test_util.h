// Pointer help for tests that drag a real slider.
#pragma once

#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>

namespace zarvion::testing {

// Presses the left button on the slider's handle, as a user starting a drag.
inline void PressSliderHandle(QSlider* slider) {
  QStyleOptionSlider opt;
  opt.initFrom(slider);
  opt.orientation = slider->orientation();
  opt.minimum = slider->minimum();
  opt.maximum = slider->maximum();
  opt.sliderPosition = opt.sliderValue = slider->value();
  const QRect handle =
      slider->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, slider);
  QTest::mousePress(slider, Qt::LeftButton, {}, handle.center());
}

}  // namespace zarvion::testing
