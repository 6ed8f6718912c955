#include "window.h"

#include <glib-unix.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "arguments.h"
#include "choices.h"
#include "config.h"
#include "control_channel.h"
#include "dialogs.h"
#include "discovery.h"
#include "i18n.h"
#include "now_playing.h"
#include "output_text.h"
#include "process_control.h"
#include "text_render.h"

namespace {

constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 440;
constexpr guint kRefreshMilliseconds = 100;
constexpr int kDropInfo = 0;
constexpr int kSpacing = 6;
constexpr int kMargin = 12;
constexpr char kPauseKey = ' ';
constexpr char kNextKey = 'n';
constexpr char kPreviousKey = 'p';

struct transport_buttons {
  GtkToolButton* play_pause = nullptr;
  GtkWidget* stop = nullptr;
  GtkWidget* next = nullptr;
  GtkWidget* previous = nullptr;
  GtkWidget* stop_item = nullptr;  // File/Stop
  GtkWidget* next_item = nullptr;
  GtkWidget* previous_item = nullptr;
};

// What is playing: the file, "n of m", its tags, the progress bar (a
// click seeks), the state with the position and the stream's format, and
// the last error the player sent.
struct now_playing_widgets {
  GtkLabel* file = nullptr;
  GtkLabel* count = nullptr;
  GtkLabel* tags = nullptr;
  GtkProgressBar* progress = nullptr;
  GtkLabel* status = nullptr;
  GtkLabel* error = nullptr;
};

struct window_widgets {
  GtkWidget* window = nullptr;
  GtkAccelGroup* accelerators = nullptr;
  GtkComboBoxText* device_box = nullptr;
  GtkComboBoxText* command_box = nullptr;
  transport_buttons transport;
  now_playing_widgets playing;
  GtkTextView* text_view = nullptr;
  GtkTextMark* end_mark = nullptr;  // stays at the end of the text, for scrolling
};

// What the window shows and remembers between refreshes.
struct window_state {
  process_state shown = process_state::idle;
  now_playing now;
  bool paused = false;
  bool quitting = false;
  bool saving = false;         // the settings are being written; Korvo ends after that
  std::string last_arguments;  // of the last Open or drop, for Play
};

window_widgets widgets;
window_state state;

// Fills the device box from a new discovery. The active entry stays active
// when it is still there; otherwise the chosen label's row is picked.
void fill_device_box() {
  const std::vector<device_entry>& devices = device_list();
  const int32_t active = gtk_combo_box_get_active(GTK_COMBO_BOX(widgets.device_box));
  const std::optional<device_entry> kept = active >= 0 && static_cast<size_t>(active) < devices.size()
                                               ? std::optional(devices[static_cast<size_t>(active)])
                                               : std::nullopt;
  discover_devices();
  gtk_combo_box_text_remove_all(widgets.device_box);
  for (const device_entry& entry : devices) gtk_combo_box_text_append_text(widgets.device_box, entry.label.c_str());
  if (kept) {
    for (size_t row = 0; row < devices.size(); ++row) {
      if (devices[row].label == kept->label && devices[row].device == kept->device) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(widgets.device_box), static_cast<gint>(row));
        return;
      }
    }
  }
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

// Drops the oldest text beyond the view's bounds.
void trim_view(GtkTextBuffer* buffer) {
  GtkTextIter start;
  GtkTextIter cut;
  gtk_text_buffer_get_start_iter(buffer, &start);
  const gint lines = gtk_text_buffer_get_line_count(buffer);
  if (lines > kMaxViewLines) {
    gtk_text_buffer_get_iter_at_line(buffer, &cut, lines - kMaxViewLines);
    gtk_text_buffer_delete(buffer, &start, &cut);
  }
  const gint characters = gtk_text_buffer_get_char_count(buffer);
  if (characters > kMaxViewChars) {
    gtk_text_buffer_get_start_iter(buffer, &start);
    gtk_text_buffer_get_iter_at_offset(buffer, &cut, characters - kMaxViewChars);
    gtk_text_buffer_delete(buffer, &start, &cut);
  }
}

void apply_render_ops(const std::vector<render_op>& ops) {
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(widgets.text_view);
  for (const render_op& op : ops) {
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    switch (op.kind) {
      case render_op::clear_view: gtk_text_buffer_set_text(buffer, "", 0); break;
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
  trim_view(buffer);
}

std::string count_text(const now_playing& now) {
  char text[64];
  snprintf(text, sizeof text, _("%d of %d"), now.file_number, now.file_count);
  return text;
}

const char* state_text(player_state shown) {
  switch (shown) {
    case player_state::playing: return _("playing");
    case player_state::paused: return _("paused");
    case player_state::waiting: return _("waiting for the DAC");
    case player_state::stopped: return _("stopped");
    case player_state::unknown: break;
  }
  return "";
}

// "playing · 1:07 / 3:12 · 44100:24:2", the parts that are known.
std::string status_text(const now_playing& now) {
  std::vector<std::string> parts;
  if (now.state != player_state::unknown) parts.emplace_back(state_text(now.state));
  if (now.file_number > 0) {
    parts.push_back(format_duration(now.position_ms / 1000) + " / " + format_duration(now.duration_ms / 1000));
  }
  if (!now.format.empty()) parts.push_back(now.format);
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : " \u00b7 ") + part;
  return text;
}

void show_now_playing() {
  const now_playing& now = state.now;
  const now_playing_widgets& shown = widgets.playing;
  const bool known = now.file_number > 0;
  gtk_label_set_text(shown.file, known ? now.name.c_str() : "");
  gtk_label_set_text(shown.count, known ? count_text(now).c_str() : "");
  gtk_label_set_text(shown.tags, now_playing_tags(now).c_str());
  const double fraction =
      known && now.duration_ms > 0 ? std::min(1.0, static_cast<double>(now.position_ms) / now.duration_ms) : 0.0;
  gtk_progress_bar_set_fraction(shown.progress, fraction);
  gtk_label_set_text(shown.status, status_text(now).c_str());
  char error[1024] = "";
  if (!now.error.empty()) snprintf(error, sizeof error, _("Error: %s"), now.error.c_str());
  gtk_label_set_text(shown.error, error);
}

void show_title_of_file() {
  if (state.now.file_number <= 0) return;
  const std::string title = state.now.name + " (" + count_text(state.now) + ")";
  gtk_window_set_title(GTK_WINDOW(widgets.window), render_window_title(title).c_str());
}

void set_play_pause_icon(bool show_pause) {
  gtk_tool_button_set_icon_name(widgets.transport.play_pause,
                                show_pause ? "media-playback-pause-symbolic" : "media-playback-start-symbolic");
}

// Button states and the "stopping" notice follow the player's state.
void show_process_state(process_state now) {
  if (now == state.shown) return;
  state.shown = now;
  const bool playing = now == process_state::playing;
  const transport_buttons& transport = widgets.transport;
  for (GtkWidget* widget : {transport.stop, transport.next, transport.previous, transport.stop_item,
                            transport.next_item, transport.previous_item}) {
    gtk_widget_set_sensitive(widget, playing);
  }
  if (now != process_state::playing) state.paused = false;
  if (now == process_state::idle) {
    // The last error stays until the next run.
    std::string error = std::move(state.now.error);
    state.now = now_playing{};
    state.now.error = std::move(error);
    show_now_playing();
  }
  set_play_pause_icon(playing && !state.paused);
  if (now == process_state::stopping) {
    gtk_window_set_title(GTK_WINDOW(widgets.window), render_window_title(_("stopping")).c_str());
    gtk_label_set_text(widgets.playing.count, _("stopping"));
  }
}

// Writes the settings and ends Korvo; settings that cannot be written are
// shown in a dialog (on standard error too) before it ends with status 1.
[[noreturn]] void finish_quit() {
  state.saving = true;
  const std::string path = config_path();
  std::string why;
  if (path.empty() || config_write(path, &why)) exit(0);
  dialog_save_failed(path.c_str(), why.c_str());
  exit(1);
}

gboolean on_refresh(gpointer) {
  if (state.saving) return G_SOURCE_CONTINUE;  // a save-failure dialog waits
  const process_state now = process_poll();
  if (state.quitting && now == process_state::idle) finish_quit();
  const output_update update = output_refresh();
  if (update.title) gtk_window_set_title(GTK_WINDOW(widgets.window), update.title->c_str());
  if (update.playing) {
    const bool new_file = update.playing->file_number != state.now.file_number ||
                          update.playing->file_count != state.now.file_count || update.playing->name != state.now.name;
    state.now = *update.playing;
    if (process_takes_commands()) {
      state.paused = state.now.state == player_state::paused;
      set_play_pause_icon(now == process_state::playing && !state.paused);
    }
    if (new_file) show_title_of_file();
    show_now_playing();
  }
  if (!update.ops.empty()) {
    apply_render_ops(update.ops);
    gtk_text_view_scroll_mark_onscreen(widgets.text_view, widgets.end_mark);
  }
  show_process_state(now);
  return G_SOURCE_CONTINUE;
}

// True while a dialog holds the window: a drop then is not taken.
bool modal_dialog_open() {
  GList* windows = gtk_window_list_toplevels();
  bool open = false;
  for (GList* item = windows; item != nullptr; item = item->next) {
    GtkWindow* window = GTK_WINDOW(item->data);
    if (window != GTK_WINDOW(widgets.window) && gtk_window_get_window_type(window) == GTK_WINDOW_TOPLEVEL &&
        gtk_window_get_modal(window) && gtk_widget_get_visible(GTK_WIDGET(window))) {
      open = true;
    }
  }
  g_list_free(windows);
  return open;
}

// True when Ctrl is held on the device of a drag.
bool control_held(GtkWidget* widget, GdkDragContext* context) {
  GdkDevice* device = gdk_drag_context_get_device(context);
  GdkWindow* window = gtk_widget_get_window(widget);
  if (device == nullptr || window == nullptr) return false;
  GdkModifierType mask = GdkModifierType(0);
  gdk_window_get_device_position(window, device, nullptr, nullptr, &mask);
  return (mask & GDK_CONTROL_MASK) != 0;
}

// A player that runs and takes commands can have files added to its list.
bool can_append() { return process_poll() == process_state::playing && process_takes_commands(); }

void on_drop(GtkWidget* widget, GdkDragContext* context, gint, gint, GtkSelectionData* data, guint, guint, gpointer) {
  if (modal_dialog_open()) return;
  const guchar* bytes = gtk_selection_data_get_data(data);
  const gint length = gtk_selection_data_get_length(data);
  const std::string text = bytes != nullptr && length > 0
                               ? std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length))
                               : std::string();
  if (!drop_is_accepted(text)) {
    dialog_confirm(_("dropped name is not a file"));
    return;
  }
  // Ctrl adds to the running player's list; with none it plays as a drop.
  if (control_held(widget, context) && can_append()) {
    window_add(drop_paths(text, getenv("HOME")));
    return;
  }
  const device_part part = build_device_part(window_take_device(), choices.convert_format);
  choices.device_kind = part.kind;
  window_play(drop_argument_string(part.words, text, getenv("HOME")));
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer) {
  window_quit();
  return TRUE;
}
// Not reached while Korvo runs (a close is taken by on_delete); without
// its widgets the refresh cannot wait for the player, which gets its
// parent-death signal instead.
void on_destroy(GtkWidget*, gpointer) {
  process_cancel_pending();
  process_stop_player();
  finish_quit();
}
gboolean on_quit_signal(gpointer) {
  // Asked again while a dialog says the settings were not saved (already
  // said on standard error too): nobody may be there to close it.
  if (state.saving) exit(1);
  window_quit();
  return G_SOURCE_CONTINUE;
}

void on_open(GtkWidget*, gpointer) { dialog_open_files(); }
void on_add(GtkWidget*, gpointer) { dialog_add_files(); }
void on_stop(GtkWidget*, gpointer) {
  process_stop_player();
  show_process_state(process_poll());  // "stopping" now, not a refresh later
}
void on_quit(GtkWidget*, gpointer) { window_quit(); }
void on_settings(GtkWidget*, gpointer) { dialog_settings(); }
void on_version(GtkWidget*, gpointer) { dialog_version(); }
void on_device_scan(GtkButton*, gpointer) { fill_device_box(); }

// Play when nothing plays (the last files again, or the Open dialog);
// otherwise pause or resume.
void on_play_pause(GtkWidget*, gpointer) {
  if (process_poll() == process_state::idle) {
    if (state.last_arguments.empty()) {
      dialog_open_files();
    } else {
      process_start_playback(_("playing"), window_command_row(), state.last_arguments);
    }
    return;
  }
  if (state.shown != process_state::playing) return;
  // A player on its control channel says its new state in an event.
  if (process_takes_commands()) {
    process_send_command(state.paused ? control_command_name::kResume : control_command_name::kPause);
  } else if (process_send_key(kPauseKey)) {
    state.paused = !state.paused;
    set_play_pause_icon(!state.paused);
  }
}
void on_next(GtkWidget*, gpointer) {
  if (!process_send_command(control_command_name::kNext)) process_send_key(kNextKey);
}
void on_previous(GtkWidget*, gpointer) {
  if (!process_send_command(control_command_name::kPrevious)) process_send_key(kPreviousKey);
}

// A click on the progress bar moves to that point of the file.
gboolean on_progress_click(GtkWidget* area, GdkEventButton* event, gpointer) {
  const int width = gtk_widget_get_allocated_width(area);
  if (event->button != GDK_BUTTON_PRIMARY || width <= 0 || state.now.duration_ms <= 0) return FALSE;
  if (process_poll() != process_state::playing || !process_takes_commands()) return FALSE;
  const double fraction = std::clamp(event->x / width, 0.0, 1.0);
  const auto millis = static_cast<int64_t>(fraction * static_cast<double>(state.now.duration_ms));
  process_send_command(std::string(control_command_name::kSeek) + " " + control_seconds_text(millis));
  return TRUE;
}

using handler = void (*)(GtkWidget*, gpointer);

GtkWidget* add_menu(GtkWidget* bar, const char* title) {
  GtkWidget* item = gtk_menu_item_new_with_mnemonic(title);
  GtkWidget* menu = gtk_menu_new();
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), menu);
  gtk_menu_shell_append(GTK_MENU_SHELL(bar), item);
  return menu;
}

// A menu item; `key` (with `modifiers`) becomes its shortcut when not 0.
GtkWidget* add_menu_item(GtkWidget* menu, const char* label, const char* tooltip, handler on_activate, guint key = 0,
                         GdkModifierType modifiers = GdkModifierType(0)) {
  GtkWidget* item = gtk_menu_item_new_with_mnemonic(label);
  gtk_widget_set_tooltip_text(item, tooltip);
  g_signal_connect(item, "activate", G_CALLBACK(on_activate), nullptr);
  if (key != 0) gtk_widget_add_accelerator(item, "activate", widgets.accelerators, key, modifiers, GTK_ACCEL_VISIBLE);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  return item;
}

GtkWidget* build_menu_bar() {
  GtkWidget* bar = gtk_menu_bar_new();
  transport_buttons& transport = widgets.transport;
  GtkWidget* file = add_menu(bar, _("_File"));
  add_menu_item(file, _("_Open"), _("open files or folders"), on_open, GDK_KEY_o, GDK_CONTROL_MASK);
  add_menu_item(file, _("_Add to Play List\u2026"), _("add files to the list that plays"), on_add);
  transport.stop_item = add_menu_item(file, _("_Stop"), _("stop playback"), on_stop);
  add_menu_item(file, _("_Quit"), _("quit program"), on_quit, GDK_KEY_q, GDK_CONTROL_MASK);
  GtkWidget* playback = add_menu(bar, _("_Playback"));
  add_menu_item(playback, _("_Play/Pause"), _("play, pause or resume"), on_play_pause, GDK_KEY_space);
  transport.next_item = add_menu_item(playback, _("_Next"), _("next file"), on_next, GDK_KEY_Right, GDK_CONTROL_MASK);
  transport.previous_item = add_menu_item(playback, _("P_revious"), _("start of this file, or the previous one"),
                                          on_previous, GDK_KEY_Left, GDK_CONTROL_MASK);
  GtkWidget* edit = add_menu(bar, _("_Edit"));
  add_menu_item(edit, _("_Settings"), _("Playback Settings"), on_settings);
  GtkWidget* help = add_menu(bar, _("_Help"));
  add_menu_item(help, _("_Version"), _("show version"), on_version);
  return bar;
}

GtkWidget* add_tool_button(GtkWidget* toolbar, const char* icon, const char* label, const char* tooltip,
                           handler on_click) {
  GtkToolItem* button = gtk_tool_button_new(nullptr, label);
  gtk_tool_button_set_icon_name(GTK_TOOL_BUTTON(button), icon);
  gtk_tool_button_set_use_underline(GTK_TOOL_BUTTON(button), TRUE);
  gtk_widget_set_tooltip_text(GTK_WIDGET(button), tooltip);
  g_signal_connect(button, "clicked", G_CALLBACK(on_click), nullptr);
  gtk_toolbar_insert(GTK_TOOLBAR(toolbar), button, -1);
  return GTK_WIDGET(button);
}

GtkWidget* build_toolbar() {
  GtkWidget* toolbar = gtk_toolbar_new();
  gtk_toolbar_set_style(GTK_TOOLBAR(toolbar), GTK_TOOLBAR_BOTH);
  transport_buttons& transport = widgets.transport;
  add_tool_button(toolbar, "document-open-symbolic", _("_Open"), _("Open files or folders (Ctrl+O)"), on_open);
  transport.play_pause = GTK_TOOL_BUTTON(add_tool_button(toolbar, "media-playback-start-symbolic", _("_Play/Pause"),
                                                         _("Play, pause or resume (Space)"), on_play_pause));
  transport.stop = add_tool_button(toolbar, "media-playback-stop-symbolic", _("_Stop"), _("Stop playback"), on_stop);
  transport.previous = add_tool_button(toolbar, "media-skip-backward-symbolic", _("P_revious"),
                                       _("Start of this file, or the previous one (Ctrl+Left)"), on_previous);
  transport.next =
      add_tool_button(toolbar, "media-skip-forward-symbolic", _("_Next"), _("Next file (Ctrl+Right)"), on_next);
  return toolbar;
}

GtkWidget* build_grid() {
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), kSpacing);
  gtk_grid_set_column_spacing(GTK_GRID(grid), kMargin);
  widgets.device_box = GTK_COMBO_BOX_TEXT(gtk_combo_box_text_new());
  gtk_widget_set_tooltip_text(GTK_WIDGET(widgets.device_box), _("Device Selection"));
  gtk_widget_set_hexpand(GTK_WIDGET(widgets.device_box), TRUE);
  widgets.command_box = GTK_COMBO_BOX_TEXT(gtk_combo_box_text_new());
  gtk_widget_set_tooltip_text(GTK_WIDGET(widgets.command_box), _("Playback Command Selection"));
  GtkWidget* scan = gtk_button_new_with_label(_("Device Scan"));
  g_signal_connect(scan, "clicked", G_CALLBACK(on_device_scan), nullptr);

  GtkWidget* device = gtk_label_new(_("Device"));
  GtkWidget* command = gtk_label_new(_("Command"));
  gtk_label_set_xalign(GTK_LABEL(device), 1);
  gtk_label_set_xalign(GTK_LABEL(command), 1);
  gtk_grid_attach(GTK_GRID(grid), device, 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), GTK_WIDGET(widgets.device_box), 1, 0, 2, 1);
  gtk_grid_attach(GTK_GRID(grid), scan, 3, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), command, 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), GTK_WIDGET(widgets.command_box), 1, 1, 1, 1);
  return grid;
}

// A label of the now-playing area, left-aligned; its text can be selected
// and copied.
GtkLabel* info_label(PangoAttrList* attributes = nullptr) {
  GtkLabel* label = GTK_LABEL(gtk_label_new(""));
  gtk_label_set_xalign(label, 0);
  gtk_label_set_ellipsize(label, PANGO_ELLIPSIZE_MIDDLE);
  gtk_label_set_selectable(label, TRUE);
  if (attributes != nullptr) {
    gtk_label_set_attributes(label, attributes);
    pango_attr_list_unref(attributes);
  }
  return label;
}

// The file heard now and "n of m", its tags, the position against the
// file's length (a click seeks), the player's state with the position and
// the format, and the last error.
GtkWidget* build_now_playing() {
  now_playing_widgets& shown = widgets.playing;
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, kSpacing);
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, kMargin);
  PangoAttrList* bold = pango_attr_list_new();
  pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  pango_attr_list_insert(bold, pango_attr_scale_new(PANGO_SCALE_LARGE));
  shown.file = info_label(bold);
  shown.count = GTK_LABEL(gtk_label_new(""));
  gtk_box_pack_start(GTK_BOX(row), GTK_WIDGET(shown.file), TRUE, TRUE, 0);
  gtk_box_pack_end(GTK_BOX(row), GTK_WIDGET(shown.count), FALSE, FALSE, 0);
  shown.tags = info_label();
  shown.progress = GTK_PROGRESS_BAR(gtk_progress_bar_new());
  GtkWidget* seek_area = gtk_event_box_new();
  gtk_widget_set_tooltip_text(seek_area, _("Click to move within the file"));
  gtk_container_add(GTK_CONTAINER(seek_area), GTK_WIDGET(shown.progress));
  g_signal_connect(seek_area, "button-press-event", G_CALLBACK(on_progress_click), nullptr);
  GtkWidget* status_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, kMargin);
  shown.status = info_label();
  PangoAttrList* red = pango_attr_list_new();
  constexpr guint16 kFull = 0xFFFF;
  constexpr guint16 kDark = 0x2000;
  pango_attr_list_insert(red, pango_attr_foreground_new(kFull * 3 / 4, kDark, kDark));
  shown.error = info_label(red);
  gtk_label_set_xalign(shown.error, 1);
  gtk_box_pack_start(GTK_BOX(status_row), GTK_WIDGET(shown.status), FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(status_row), GTK_WIDGET(shown.error), TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), GTK_WIDGET(shown.tags), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), seek_area, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), status_row, FALSE, FALSE, 0);
  return box;
}

GtkWidget* build_output_view() {
  GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_IN);
  gtk_widget_set_vexpand(scrolled, TRUE);
  widgets.text_view = GTK_TEXT_VIEW(gtk_text_view_new());
  gtk_text_view_set_editable(widgets.text_view, FALSE);
  gtk_text_view_set_monospace(widgets.text_view, TRUE);
  // Drops onto the text go to the window.
  gtk_drag_dest_unset(GTK_WIDGET(widgets.text_view));
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(widgets.text_view);
  GtkTextIter end;
  gtk_text_buffer_get_end_iter(buffer, &end);
  widgets.end_mark = gtk_text_buffer_create_mark(buffer, nullptr, &end, FALSE);
  gtk_container_add(GTK_CONTAINER(scrolled), GTK_WIDGET(widgets.text_view));
  GtkWidget* expander = gtk_expander_new_with_mnemonic(_("Player _output"));
  gtk_expander_set_expanded(GTK_EXPANDER(expander), TRUE);
  gtk_expander_set_resize_toplevel(GTK_EXPANDER(expander), TRUE);
  gtk_container_add(GTK_CONTAINER(expander), scrolled);
  // An expander is a drop site of no targets (to open on a hover), which
  // takes every drop over it and its child and refuses it: drops there too
  // go to the window.
  gtk_drag_dest_unset(expander);
  return expander;
}

}  // namespace

void window_build() {
  widgets.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(widgets.window), "Korvo");
  gtk_window_set_icon_name(GTK_WINDOW(widgets.window), "Korvo");
  gtk_window_set_default_size(GTK_WINDOW(widgets.window), kDefaultWidth, kDefaultHeight);
  gtk_window_set_resizable(GTK_WINDOW(widgets.window), TRUE);
  g_signal_connect(widgets.window, "delete_event", G_CALLBACK(on_delete), nullptr);
  g_signal_connect(widgets.window, "destroy", G_CALLBACK(on_destroy), nullptr);
  widgets.accelerators = gtk_accel_group_new();
  gtk_window_add_accel_group(GTK_WINDOW(widgets.window), widgets.accelerators);

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, kMargin);
  gtk_container_set_border_width(GTK_CONTAINER(content), kMargin);
  gtk_box_pack_start(GTK_BOX(content), build_grid(), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(content), build_now_playing(), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(content), build_output_view(), TRUE, TRUE, 0);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_pack_start(GTK_BOX(box), build_menu_bar(), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), build_toolbar(), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), content, TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(widgets.window), box);

  static const GtkTargetEntry kDropTargets[] = {{const_cast<gchar*>("text/uri-list"), 0, kDropInfo}};
  gtk_drag_dest_set(widgets.window, GTK_DEST_DEFAULT_ALL, kDropTargets, 1, GDK_ACTION_COPY);
  g_signal_connect(widgets.window, "drag-data-received", G_CALLBACK(on_drop), nullptr);

  fill_device_box();
  fill_command_box();
  g_timeout_add(kRefreshMilliseconds, on_refresh, nullptr);
  g_unix_signal_add(SIGTERM, on_quit_signal, nullptr);
  g_unix_signal_add(SIGHUP, on_quit_signal, nullptr);
  gtk_widget_show_all(widgets.window);
  state.shown = process_state::playing;  // so that the first refresh sets the idle look
  show_process_state(process_state::idle);
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

void window_play(std::string_view arguments) {
  state.last_arguments = arguments;
  process_start_playback(_("playing"), window_command_row(), arguments);
}

void window_add(const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  if (can_append()) {
    for (const std::string& path : paths) {
      process_send_command(std::string(control_command_name::kAppend) + " " + control_escape(path));
    }
    return;
  }
  const device_part part = build_device_part(window_take_device(), choices.convert_format);
  choices.device_kind = part.kind;
  window_play(open_argument_string(part.words, paths));
}

void window_quit() {
  if (state.quitting) return;
  state.quitting = true;
  process_cancel_pending();
  process_stop_player();
  // The window goes now; the refresh finishes once the player has ended.
  gtk_widget_hide(widgets.window);
  if (process_poll() == process_state::idle) finish_quit();
}
