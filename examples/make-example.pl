#!/usr/bin/perl
# Builds the example: a handheld image (examples/handheld/) and a desktop
# folder (examples/desktop/) that were in step at their last HotSync and have
# since been edited on both sides, and the HotSync state of that desktop
# (examples/home/, for $HOTSYNC_HOME). Run from anywhere:
#   perl examples/make-example.pl [OUTDIR]
# Writes OUTDIR/handheld, OUTDIR/desktop and OUTDIR/home (default: the
# examples folder).
use strict;
use warnings;
use File::Basename qw(dirname);
use File::Path qw(make_path remove_tree);
use Palm::PDB;
use Palm::Raw;

my $out = $ARGV[0] // dirname(__FILE__);
my $hh = "$out/handheld";
my $dt = "$out/desktop";
remove_tree($hh, $dt);
make_path($hh, $dt);

use constant EPOCH_1904 => 2082844800;
# Fixed dates keep the files the same on every run.
my $garden_created = 1700000000;    # seconds since 1970
my $seed = 0x00100000;              # record ids below stay clear of new ones

# --- item records ----------------------------------------------------------

# One item: a hash with title, note (handheld bytes), flags and links.
sub item_record {
  my (%i) = @_;
  my $flags = 0;
  $flags |= 0x01 if $i{expanded};
  $flags |= 0x02 if $i{expandedMemo};
  $flags |= 0x08 if $i{checked};
  $flags |= 0x20 if $i{dirtyContent};
  $flags |= 0x40 if $i{dirtyPosition};
  my $title = $i{title} // "";
  my $note = $i{note} // "";
  my @entries;
  push @entries, pack("nnnN", 0, 6, $_->[0], $_->[1]) for @{ $i{eab} // [] };
  push @entries, pack("nnnN", 2, 6, $i{override}[0] & 0xFFFF, $i{override}[1]) if $i{override};
  push @entries, pack("nnnN", 4, 6, 0, $i{alarm}) if $i{alarm};
  my $tree = ($i{next} ? 1 : 0) | ($i{child} ? 2 : 0);
  my $fixed = pack("CCNnnnNNNNNNNNa32nnNnn",
    1, 0, $flags, $i{autoNumber} // 0, $i{priority} // 0, $i{progress} // 0,
    $i{created} // 0, $i{target} // 0, $i{start} // 0, $i{finish} // 0,
    $i{colour} // 0, $i{bold} ? 1 : 0, $i{todo} // 0, $i{datebook} // 0,
    substr($i{linkFile} // "", 0, 31), scalar(@entries), length($title), length($note), 0, $tree);
  my $r = $fixed . $title . "\0";
  $r .= $note . "\0" if length $note;
  $r .= "\0" if length($r) % 2;
  $r .= join "", @entries;
  # The stored record is two or three bytes longer than its content.
  my $size = 90 + length($title) + 1 + (length $note ? length($note) + 1 : 0) + 10 * @entries + 1;
  return $r . ("\0" x ($size - length $r));
}

sub header_record {
  my ($sync_request) = @_;
  my $h = "\0" x 122;
  substr($h, 50, 4) = pack("N", $sync_request ? 0x80 : 0);
  substr($h, 58, 4) = "Tlvk";
  substr($h, 62, 8) = "TolvanEx";   # application bytes, carried unchanged
  return $h;
}

sub new_db {
  my ($name, $type, $creator, $ctime) = @_;
  my $pdb = Palm::Raw->new({ name => $name, type => $type, creator => $creator,
                             ctime => $ctime, mtime => $ctime, uniqueIDseed => $seed,
                             version => 1, attributes => { backup => 1 } });
  return $pdb;
}

sub add {
  my ($pdb, $id, $data, $deleted) = @_;
  my $rec = $pdb->append_Record();
  $rec->{id} = $id;
  $rec->{data} = $data;
  $rec->{category} = 0;
  $rec->{attributes} = $deleted ? { expunged => 1 } : {};
}

# Lists are written in pre-order with their tree flags. Each node:
# [id, {fields}, [children]].
sub add_tree {
  my ($pdb, $nodes) = @_;
  for my $k (0 .. $#$nodes) {
    my ($id, $fields, $kids) = @{ $nodes->[$k] };
    add($pdb, $id, item_record(%$fields, next => $k < $#$nodes, child => scalar @{ $kids // [] }));
    add_tree($pdb, $kids) if $kids && @$kids;
  }
}

# --- desktop list files ------------------------------------------------------

sub yn { $_[0] ? "yes" : "no" }

sub xml_item {
  my ($fh, $depth, $id, $f, $kids) = @_;
  my $w = " " x (2 * $depth);
  my $o = $f->{override} // [-1, 0];
  printf $fh "  %s<item uniqueID=\"%u\" dirtyContent=\"%d\" dirtyPosition=\"%d\" deleted=\"%d\" "
    . "checked=\"%s\" expanded=\"%s\" expandedMemo=\"%s\" expandedLinks=\"%s\" priority=\"%d\" "
    . "progress=\"%d\" autoNumber=\"%d\" alarmID=\"%u\" dispColour=\"%d\" dispBold=\"%s\" "
    . "dispOverride=\"%d:%u\">\n",
    $w, $id, $f->{dirtyContent} // 0, $f->{dirtyPosition} // 0, $f->{deleted} // 0,
    yn($f->{checked}), yn($f->{expanded}), yn($f->{expandedMemo}), yn($f->{expandedLinks}),
    $f->{priority} // 0, $f->{progress} // 0, $f->{autoNumber} // 0, $f->{alarm} // 0,
    $f->{colour} // 0, yn($f->{bold}), $o->[0], $o->[1];
  print $fh "    $w<title>$f->{dtitle}</title>\n" if defined $f->{dtitle};
  printf $fh "    %s<hh%s>%u</hh%s>\n", $w, $_->[0], $f->{ $_->[1] } // 0, $_->[0]
    for ["CreateTime", "created"], ["TargetTime", "target"], ["StartTime", "start"],
        ["FinishTime", "finish"];
  print $fh "    $w<note>$f->{dnote}</note>\n" if defined $f->{dnote};
  print $fh "    $w<linkFile>$f->{linkFile}</linkFile>\n" if defined $f->{linkFile};
  printf $fh "    %s<linkToDo ID=\"%u\"/>\n", $w, $f->{todo} if $f->{todo};
  printf $fh "    %s<linkDatebook ID=\"%u\"/>\n", $w, $f->{datebook} if $f->{datebook};
  printf $fh "    %s<linkEAB eabType=\"%u\" eabID=\"%u\"/>\n", $w, @$_ for @{ $f->{eab} // [] };
  xml_item($fh, $depth + 1, @$_) for @{ $kids // [] };
  print $fh "  $w</item>\n";
}

sub xml_list {
  my ($name, $unique_time, $upload, $nodes) = @_;
  open my $fh, ">:raw", "$dt/$name.XML" or die "$dt/$name.XML: $!";
  print $fh "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  printf $fh "<TolvexFile uniqueTime=\"%u\" uploadFile=\"%u\">\n", $unique_time, $upload;
  xml_item($fh, 0, @$_) for @$nodes;
  print $fh "</TolvexFile>\n";
  close $fh;
}

# --- Tolvk-Garden: on both sides, edited on each since the last sync ----------

my $t0 = 3782844800;   # a handheld time stamp (seconds since 1904)
# The note in handheld bytes: bullet 0x95, en dash 0x96, pound 0xA3, and
# Latin-1 letters that are two bytes of UTF-8 on the desktop.
my $note_hh = "Buy \x95 spade \x96 \xA312\nCaf\xE9 M\xFCller sells seeds";
my $note_dt_new = "Buy !bullet!; spade !dash!; !gbp!;12, !bsquote!;good!apos!; gloves\n"
  . "Caf\xC3\xA9 M\xC3\xBCller sells seeds \xE2\x82\xAC3 &amp; bulbs &lt;cheap&gt;";

my $garden_hh = new_db("Tolvk-Garden", "Wkdq", "Wkdq", $garden_created);
add($garden_hh, 0xA00, header_record(1));
add_tree($garden_hh, [
  [0xA01, { title => "Vegetables", expanded => 1, created => $t0 }, [
    # changed title on the handheld
    [0xA02, { title => "Cherry tomatoes", dirtyContent => 1, priority => 2, created => $t0 }],
    [0xA03, { title => "Beans", progress => 50, created => $t0 }],
  ]],
  [0xA04, { title => "Flowers", expanded => 1, created => $t0 }, [
    [0xA05, { title => "Roses", created => $t0, eab => [[1, 4001], [2, 4002]] }],
    # a new child on the handheld (the handheld gave it its record id)
    [0xA10, { title => "Dahlias", dirtyContent => 1, created => $t0 + 86400, alarm => 77 }],
  ]],
  [0xA06, { title => "Tools", note => $note_hh, expandedMemo => 1, created => $t0,
            override => [3, 7], todo => 12, linkFile => "tools.txt" }],
]);
# deleted on the handheld since the last sync: its record stays, marked deleted
add($garden_hh, 0xA07, "", 1);
{ local $SIG{__WARN__} = sub {}; $garden_hh->Write("$hh/Tolvk-Garden.pdb"); }

xml_list("Tolvk-Garden", $garden_created + EPOCH_1904, 0, [
  [0xA01, { dtitle => "Vegetables", expanded => 1, created => $t0 }, [
    [0xA02, { dtitle => "Tomatoes", priority => 2, created => $t0 }],
    [0xA03, { dtitle => "Beans", progress => 50, created => $t0 }],
    # a new item on the desktop: no handheld id yet
    [0, { dtitle => "Garlic", dirtyContent => 1 }],
  ]],
  [0xA04, { dtitle => "Flowers", expanded => 1, created => $t0 }, []],
  [0xA06, { dtitle => "Tools", dnote => $note_dt_new, dirtyContent => 1, expandedMemo => 1,
            created => $t0, override => [3, 7], todo => 12, linkFile => "tools.txt" }, [
    # moved on the desktop: Roses now sits under Tools
    [0xA05, { dtitle => "Roses", dirtyPosition => 1, created => $t0, eab => [[1, 4001], [2, 4002]] }],
  ]],
  [0xA07, { dtitle => "Weeding", created => $t0 }],
]);

# --- Tolvk-Reading: only on the handheld, with a deleted record -------------

my $reading = new_db("Tolvk-Reading", "Wkdq", "Wkdq", $garden_created + 3600);
add($reading, 0xB00, header_record(1));
add_tree($reading, [
  [0xB01, { title => "Novels", expanded => 1 }, [
    [0xB02, { title => "Der Zauberberg \x96 Mann", checked => 1 }],
    [0xB03, { title => "L'\xC9tranger", note => "Read in French" }],
  ]],
  [0xB04, { title => "Essays", priority => 1 }],
]);
add($reading, 0xB05, item_record(title => "Old magazine"), 1);
$reading->Write("$hh/Tolvk-Reading.pdb");

# --- Tolvk-Archive: on the handheld, its header does not ask for a sync ------

my $archive = new_db("Tolvk-Archive", "Wkdq", "Wkdq", $garden_created + 7200);
add($archive, 0xC00, header_record(0));
add_tree($archive, [[0xC01, { title => "Kept on the handheld only" }]]);
$archive->Write("$hh/Tolvk-Archive.pdb");

# --- Tolvk-Trip: only on the desktop, asking to be put on the handheld -------

xml_list("Tolvk-Trip", 0, 1, [
  [0, { dtitle => "Packing", expanded => 1 }, [
    [0, { dtitle => "Passport", checked => 1, priority => 1 }],
    [0, { dtitle => "Charger" }],
  ]],
  [0, { dtitle => "Route", dnote => "Z\xC3\xBCrich !dash!; Gen\xC3\xA8ve" }],
]);

# --- TolvTags: tag groups are the categories, each record one tag ----------

my $tags = new_db("TolvTags", "Tags", "Wkdq", $garden_created);
my @labels = ("Unfiled", "Places", "People");
my $appinfo = pack("n", 0);
$appinfo .= pack("a16", $labels[$_] // "") for 0 .. 15;
$appinfo .= pack("C", $_ < @labels ? $_ + 1 : 0) for 0 .. 15;
$appinfo .= "\0" x 4;
$tags->{appinfo} = $appinfo;
my @tag_rows = ([1, "Garden", 101], [1, "Shop", 102], [2, "Ann", 201], [2, "M\xFCller", 202]);
my $tid = 0xD01;
for my $t (@tag_rows) {
  my $rec = $tags->append_Record();
  $rec->{id} = $tid++;
  $rec->{category} = $t->[0];
  $rec->{attributes} = {};
  $rec->{data} = pack("a32N", $t->[1], $t->[2]);
}
$tags->Write("$hh/TolvTags.pdb");

# --- TolvFilters: one filter per record ----------------------------------------

my $filters = new_db("TolvFilters", "Filt", "Wkdq", $garden_created);
sub rule { my ($op, $rel, $flags, $group, $value) = @_;
           pack("nnna22", $op, $rel, ($flags & 1) | (($group & 3) << 1), $value) }
my @filter_rows = (
  ["Urgent", 9001, 0, [rule(10, 4, 1, 0, "1"), rule(0, 0, 0, 1, "0")]],
  ["Garden & tools", 9002, 1, [rule(1, 0, 1, 0, "spade"), rule(23, 0, 0, 0, "Garden")]],
);
my $fid = 0xE01;
for my $f (@filter_rows) {
  my $rec = $filters->append_Record();
  $rec->{id} = $fid++;
  $rec->{category} = 0;
  $rec->{attributes} = {};
  $rec->{data} = pack("a32Nnn", $f->[0], $f->[1], $f->[2], scalar @{ $f->[3] }) . join("", @{ $f->[3] });
}
$filters->Write("$hh/TolvFilters.pdb");

# --- device.ini and the desktop's HotSync state -----------------------------------

# The handheld last synchronized with this desktop, so the example's HotSync
# is the fast merge of what each side changed since.
my $desktop_id = 20031014;
open my $ini, ">", "$hh/device.ini" or die "$hh/device.ini: $!";
print $ini "[user]\nname=Ann\nid=1\n[syncmgr]\napi=2.2\n[module]\ninstalled=yes\nversion=1.1\n"
  . "encoding=ISO-8859-1\n[sync]\nlast_desktop=$desktop_id\n";
close $ini;
my $home = "$out/home";
remove_tree($home);
make_path($home);
open my $state, ">", "$home/hotsync.ini" or die "$home/hotsync.ini: $!";
print $state "[host]\ndesktop_id=$desktop_id\n";
close $state;
print "example written to $hh, $dt and $home\n";
