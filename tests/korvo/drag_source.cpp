// A small window to drag files from, for the window test under Xvfb: it
// offers its arguments as a text/uri-list (paths become file:// URIs, words
// with "://" are passed as they are). With --clipboard it prints the text
// on the clipboard instead and exits (1 when there is none).
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kWindowX = 620;
constexpr int kWindowY = 420;
constexpr int kWindowSize = 140;

std::vector<gchar*> uris;  // null-terminated

void on_drag_data_get(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer) {
  gtk_selection_data_set_uris(data, uris.data());
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  if (argc > 1 && strcmp(argv[1], "--clipboard") == 0) {
    gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
    if (text == nullptr) return 1;
    fputs(text, stdout);
    g_free(text);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    uris.push_back(strstr(argv[i], "://") != nullptr ? g_strdup(argv[i])
                                                     : g_filename_to_uri(argv[i], nullptr, nullptr));
  }
  uris.push_back(nullptr);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "korvo drag source");
  gtk_window_set_default_size(GTK_WINDOW(window), kWindowSize, kWindowSize);
  gtk_window_move(GTK_WINDOW(window), kWindowX, kWindowY);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  GtkWidget* source = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(source), gtk_label_new("drag me"));
  static const GtkTargetEntry kTargets[] = {{const_cast<gchar*>("text/uri-list"), 0, 0}};
  gtk_drag_source_set(source, GDK_BUTTON1_MASK, kTargets, 1, GDK_ACTION_COPY);
  g_signal_connect(source, "drag-data-get", G_CALLBACK(on_drag_data_get), nullptr);
  gtk_container_add(GTK_CONTAINER(window), source);
  gtk_widget_show_all(window);
  gtk_main();
  for (gchar* uri : uris) g_free(uri);
  return 0;
}
