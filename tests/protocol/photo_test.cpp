// Photographs through the host: the final image made through the reduced working image and
// the row cache equals the compositor run over the whole picture in memory.
#include <gtest/gtest.h>

#include "image_files/image_io.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "tests/protocol/protocol_support.h"

namespace pt = protocol_test;

namespace {

TEST(Photographs, ReducedRunsMatchTheWholePictureInEveryMode) {
  for (const char* name : {"camera.png", "coffee.png"}) {
    std::string why;
    auto photo = image_io::read_image(std::string(ZORBEL_SAMPLES "/") + name, &why);
    ASSERT_TRUE(photo.has_value()) << why;
    plugin_host::Image& image = photo->image;
    int32_t planes = image_io::color_planes(photo->kind);
    for (int16_t mode : {0, 1, -1}) {
      SCOPED_TRACE(std::string(name) + " mode " + std::to_string(mode));
      ParameterRecord record = pt::settings(9, 85, 140, 23, mode, mode < 0 ? 1 : 0,
                                            int16_t(image.width / 3), int16_t(image.height / 2));
      pt::linked_module().set_parameters(pt::record_bytes(record));
      plugin_host::RunOptions options = pt::options_for(planes);
      // A third of what the whole picture needs: a reduced working image.
      options.max_space = int32_t(image.pixels.size() / 3);
      plugin_host::Image result = image;
      plugin_host::RunResult run = pt::linked_module().run(result, options);
      ASSERT_TRUE(run.ok()) << run.result;
      EXPECT_GT(module_state.plan.decimation, 1);
      plugin_host::Image reference = pt::reference_render(
          image, plugin_host::Area{0, 0, image.width, image.height}, planes, record,
          module_state.preview.image_step, module_state.preview.preview_extent);
      EXPECT_EQ(result.pixels, reference.pixels);
    }
  }
}

}  // namespace
