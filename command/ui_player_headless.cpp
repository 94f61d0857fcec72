// The scripted user without a screen: headless_win32's modal loop plays the steps, and
// snapshots go to a PNG writer installed here.
#include "command/ui_player.h"
#include "headless_win32/headless.h"
#include "image_files/image_io.h"

namespace ui_player {

void start(const std::string& script) {
  headless::set_picture_writer([](const std::string& file, const headless::Picture& picture) {
    image_io::LoadedImage image;
    image.kind = image_io::Kind::kRgb;
    image.image = plugin_host::Image(picture.width, picture.height, 3);
    image.image.pixels.assign(picture.rgb.begin(), picture.rgb.end());
    std::string why;
    return image_io::write_image(file, image, &why) ? std::string() : why;
  });
  headless::set_ui_script(script);
}

Report finish() {
  Report report;
  report.failures = headless::ui_script_failures();
  report.ran_out = headless::last_dialog_ran_out_of_script();
  headless::set_ui_script("");
  headless::set_picture_writer(nullptr);
  return report;
}

}  // namespace ui_player
