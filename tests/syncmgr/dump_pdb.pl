#!/usr/bin/perl
# Prints a .pdb file as read by Palm::PDB/Palm::Raw, one fact a line, so the
# Sync Manager tests can compare it with what they wrote.
use strict;
use warnings;
use Palm::PDB;
use Palm::Raw;

my $EPOCH_1904 = 2082844800;
my $pdb = Palm::PDB->new;
$pdb->Load($ARGV[0]);

my %dbbits = (ResDB => 0x0001, ReadOnly => 0x0002, AppInfoDirty => 0x0004, Backup => 0x0008,
              OKToInstallNewer => 0x0010, ResetAfterInstall => 0x0020, CopyPrevention => 0x0040,
              Stream => 0x0080, Hidden => 0x0100, LaunchableData => 0x0200, Recyclable => 0x0400,
              Bundle => 0x0800, Open => 0x8000);
my $attributes = 0;
for my $bit (keys %dbbits) { $attributes |= $dbbits{$bit} if $pdb->{attributes}{$bit}; }

printf "name=%s\n", $pdb->{name};
printf "type=%s\n", $pdb->{type};
printf "creator=%s\n", $pdb->{creator};
printf "attributes=0x%04x\n", $attributes;
printf "version=%d\n", $pdb->{version};
printf "ctime=%u\n", $pdb->{ctime} + $EPOCH_1904;
printf "mtime=%u\n", $pdb->{mtime} + $EPOCH_1904;
printf "baktime=%u\n", $pdb->{baktime} + $EPOCH_1904;
printf "modnum=%u\n", $pdb->{modnum};
printf "appinfo=%s\n", defined $pdb->{appinfo} ? unpack("H*", $pdb->{appinfo}) : "";
printf "records=%d\n", scalar @{$pdb->{records}};
for my $r (@{$pdb->{records}}) {
  my $a = 0;
  $a |= 0x80 if $r->{attributes}{Delete};
  $a |= 0x40 if $r->{attributes}{Dirty};
  $a |= 0x20 if $r->{attributes}{Busy};
  $a |= 0x10 if $r->{attributes}{Secret};
  printf "record id=%u attributes=0x%02x category=%s data=%s\n", $r->{id}, $a,
         defined $r->{category} ? $r->{category} : "-", unpack("H*", $r->{data});
}
