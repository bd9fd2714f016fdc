// What a module that embeds no resources holds in place of an image: an
// image of no bytes. A member of libtamb of its own, linked only where the
// build has linked no image of tamb_embed_resources (see resources.cc).
extern "C" {
extern const unsigned char tamb_embedded_image[16];
const unsigned char tamb_embedded_image[16] = {};
}
