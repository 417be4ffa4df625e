/* A shared library with a constructor, standing in for the attachment where only loading
   matters. */
static int loaded;

__attribute__((constructor)) static void sievra_test_image_loaded(void) {
    loaded = 1;
}

int sievra_test_image_is_loaded(void) {
    return loaded;
}
