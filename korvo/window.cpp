#include "window.h"

#include <cstdlib>
#include <string>

#include "arguments.h"
#include "choices.h"
#include "config.h"
#include "dialogs.h"
#include "discovery.h"
#include "i18n.h"
#include "output_text.h"
#include "process_control.h"
#include "text_render.h"

namespace {

constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 200;
constexpr guint kRefreshMilliseconds = 100;
constexpr int kDropInfo = 0;

struct window_widgets {
  GtkWidget* window = nullptr;
  GtkComboBoxText* device_box = nullptr;
  GtkComboBoxText* command_box = nullptr;
  GtkTextView* text_view = nullptr;
  GtkTextMark* end_mark = nullptr;  // stays at the end of the text, for scrolling
};

window_widgets widgets;

// Fills the device box from a new discovery and picks the chosen label's row.
void fill_device_box() {
  discover_devices();
  gtk_combo_box_text_remove_all(widgets.device_box);
  const std::vector<device_entry>& devices = device_list();
  for (const device_entry& entry : devices) gtk_combo_box_text_append_text(widgets.device_box, entry.label.c_str());
  const int32_t row = choices_device_row(devices, choices.device_label);
  if (row < 0) return;
  gtk_combo_box_set_active(GTK_COMBO_BOX(widgets.device_box), row);
  choices.device_label = devices[static_cast<size_t>(row)].label;
}

void fill_command_box() {
  const std::vector<std::string>& commands = command_list();
  for (const std::string& command : commands) gtk_combo_box_text_append_text(widgets.command_box, command.c_str());
  gtk_combo_box_text_append_text(widgets.command_box, std::string(kAutoDetect).c_str());
  int32_t row = 0;
  if (!choices.command_name.empty()) {
    row = choices_command_row(commands, choices.command_name);
  } else if (!commands.empty()) {
    choices.command_name = commands.front();
  }
  gtk_combo_box_set_active(GTK_COMBO_BOX(widgets.command_box), row);
}

void apply_render_ops(const std::vector<render_op>& ops) {
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(widgets.text_view);
  for (const render_op& op : ops) {
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    switch (op.kind) {
      case render_op::clear_view:
        gtk_text_buffer_set_text(buffer, "", 0);
        break;
      case render_op::delete_last_line: {
        GtkTextIter line_start = end;
        gtk_text_iter_set_line_offset(&line_start, 0);
        gtk_text_buffer_delete(buffer, &line_start, &end);
        break;
      }
      case render_op::append:
        gtk_text_buffer_insert(buffer, &end, op.text.data(), static_cast<gint>(op.text.size()));
        break;
    }
  }
}

gboolean on_refresh(gpointer) {
  const output_update update = output_refresh();
  if (update.title) gtk_window_set_title(GTK_WINDOW(widgets.window), update.title->c_str());
  if (!update.ops.empty()) {
    apply_render_ops(update.ops);
    gtk_text_view_scroll_mark_onscreen(widgets.text_view, widgets.end_mark);
  }
  return G_SOURCE_CONTINUE;
}

void on_drop(GtkWidget*, GdkDragContext*, gint, gint, GtkSelectionData* data, guint, guint, gpointer) {
  const guchar* bytes = gtk_selection_data_get_data(data);
  const gint length = gtk_selection_data_get_length(data);
  const std::string text = bytes != nullptr && length > 0
                               ? std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length))
                               : std::string();
  if (!drop_is_accepted(text)) {
    dialog_confirm(_("dropped name is not a file"));
    return;
  }
  if (process_playing()) process_stop_player();
  const std::vector<device_entry>& devices = device_list();
  if (gtk_combo_box_get_active(GTK_COMBO_BOX(widgets.device_box)) >= 0) window_take_device();
  const device_entry* entry = &devices.front();
  for (const device_entry& candidate : devices) {
    if (candidate.label == choices.device_label) {
      entry = &candidate;
      break;
    }
  }
  const device_part part = build_device_part(*entry, choices.convert_format);
  choices.device_kind = part.kind;
  process_start_playback(_("playing"), window_command_row(),
                         drop_argument_string(part.words, text, getenv("HOME")));
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer) { window_quit(); }
void on_destroy(GtkWidget*, gpointer) { window_quit(); }
void on_open(GtkMenuItem*, gpointer) { dialog_open_file(); }
void on_stop(GtkMenuItem*, gpointer) {
  if (process_playing()) process_stop_player();
}
void on_quit(GtkMenuItem*, gpointer) { window_quit(); }
void on_settings(GtkMenuItem*, gpointer) { dialog_settings(); }
void on_version(GtkMenuItem*, gpointer) { dialog_version(); }
void on_device_scan(GtkButton*, gpointer) { fill_device_box(); }

GtkWidget* add_menu(GtkWidget* bar, const char* title) {
  GtkWidget* item = gtk_menu_item_new_with_label(title);
  GtkWidget* menu = gtk_menu_new();
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), menu);
  gtk_menu_shell_append(GTK_MENU_SHELL(bar), item);
  return menu;
}

void add_menu_item(GtkWidget* menu, const char* label, const char* tooltip, void (*handler)(GtkMenuItem*, gpointer)) {
  GtkWidget* item = gtk_menu_item_new_with_label(label);
  gtk_widget_set_tooltip_text(item, tooltip);
  g_signal_connect(item, "activate", G_CALLBACK(handler), nullptr);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
}

GtkWidget* build_menu_bar() {
  GtkWidget* bar = gtk_menu_bar_new();
  GtkWidget* file = add_menu(bar, _("File"));
  add_menu_item(file, _("Open"), _("open file"), on_open);
  add_menu_item(file, _("Stop"), _("stop playback"), on_stop);
  add_menu_item(file, _("Quit"), _("quit program"), on_quit);
  GtkWidget* edit = add_menu(bar, _("Edit"));
  add_menu_item(edit, _("Settings"), _("Playback Settings"), on_settings);
  GtkWidget* help = add_menu(bar, _("Help"));
  add_menu_item(help, _("Version"), _("show version"), on_version);
  return bar;
}

GtkWidget* build_grid() {
  GtkWidget* grid = gtk_grid_new();
  widgets.device_box = GTK_COMBO_BOX_TEXT(gtk_combo_box_text_new());
  gtk_widget_set_tooltip_text(GTK_WIDGET(widgets.device_box), _("Device Selection"));
  gtk_widget_set_hexpand(GTK_WIDGET(widgets.device_box), TRUE);
  widgets.command_box = GTK_COMBO_BOX_TEXT(gtk_combo_box_text_new());
  gtk_widget_set_tooltip_text(GTK_WIDGET(widgets.command_box), _("Playback Command Selection"));
  GtkWidget* scan = gtk_button_new_with_label(_("Device Scan"));
  g_signal_connect(scan, "clicked", G_CALLBACK(on_device_scan), nullptr);

  gtk_grid_attach(GTK_GRID(grid), gtk_label_new(_("Device")), 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), GTK_WIDGET(widgets.device_box), 1, 0, 2, 1);
  gtk_grid_attach(GTK_GRID(grid), scan, 3, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), gtk_label_new(_("Command")), 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), GTK_WIDGET(widgets.command_box), 1, 1, 1, 1);
  return grid;
}

GtkWidget* build_output_view() {
  GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
  gtk_widget_set_vexpand(scrolled, TRUE);
  widgets.text_view = GTK_TEXT_VIEW(gtk_text_view_new());
  gtk_text_view_set_editable(widgets.text_view, FALSE);
  // Drops onto the text go to the window.
  gtk_drag_dest_unset(GTK_WIDGET(widgets.text_view));
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(widgets.text_view);
  GtkTextIter end;
  gtk_text_buffer_get_end_iter(buffer, &end);
  widgets.end_mark = gtk_text_buffer_create_mark(buffer, nullptr, &end, FALSE);
  gtk_container_add(GTK_CONTAINER(scrolled), GTK_WIDGET(widgets.text_view));
  return scrolled;
}

}  // namespace

void window_build() {
  widgets.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(widgets.window), "Korvo");
  gtk_window_set_default_size(GTK_WINDOW(widgets.window), kDefaultWidth, kDefaultHeight);
  gtk_window_set_resizable(GTK_WINDOW(widgets.window), TRUE);
  g_signal_connect(widgets.window, "delete_event", G_CALLBACK(on_delete), nullptr);
  g_signal_connect(widgets.window, "destroy", G_CALLBACK(on_destroy), nullptr);
  gtk_window_add_accel_group(GTK_WINDOW(widgets.window), gtk_accel_group_new());

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_pack_start(GTK_BOX(box), build_menu_bar(), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), build_grid(), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), build_output_view(), TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(widgets.window), box);

  static const GtkTargetEntry kDropTargets[] = {{const_cast<gchar*>("text/uri-list"), 0, kDropInfo}};
  gtk_drag_dest_set(widgets.window, GTK_DEST_DEFAULT_ALL, kDropTargets, 1, GDK_ACTION_COPY);
  g_signal_connect(widgets.window, "drag-data-received", G_CALLBACK(on_drop), nullptr);

  fill_device_box();
  fill_command_box();
  g_timeout_add(kRefreshMilliseconds, on_refresh, nullptr);
  gtk_widget_show_all(widgets.window);
}

GtkWindow* window_main() noexcept { return GTK_WINDOW(widgets.window); }

int32_t window_command_row() noexcept { return gtk_combo_box_get_active(GTK_COMBO_BOX(widgets.command_box)); }

const device_entry& window_take_device() noexcept {
  const std::vector<device_entry>& devices = device_list();
  const int32_t active = gtk_combo_box_get_active(GTK_COMBO_BOX(widgets.device_box));
  const size_t row = active >= 0 && static_cast<size_t>(active) < devices.size() ? static_cast<size_t>(active) : 0;
  const device_entry& entry = devices[row];
  config_set_text(kKeyDevice, entry.label);
  choices.device_label = entry.label;
  return entry;
}

void window_quit() {
  if (process_playing()) process_stop_player();
  process_stop_player();  // joins a reader thread that has already finished
  const std::string path = config_path();
  if (!path.empty()) config_write(path);
  exit(0);
}
