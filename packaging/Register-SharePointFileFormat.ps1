# Makes SharePoint Server (2013 to Subscription Edition) search read .rar files through the filter
# registered for .rar: a filter-based file format "rar", its parser switched to the IFilter, and
# .rar among the crawled file name extensions. -Remove takes the file format away again.
#
# NOT RUN HERE: written from Microsoft's cmdlet documentation; this project has no SharePoint farm
# to run it against. Run it in the SharePoint Management Shell as a farm administrator, after the
# x64 package is installed on every server that hosts a content processing component, then restart
# the SharePoint Search Host Controller on each of those servers (the file formats are read at start)
# and run a full crawl of every content source that may hold .rar files.
#
#   .\Register-SharePointFileFormat.ps1 [-SearchApplication NAME] [-Remove]
param(
    [string]$SearchApplication,
    [switch]$Remove
)
$ErrorActionPreference = 'Stop'
if (-not (Get-PSSnapin -Name Microsoft.SharePoint.PowerShell -ErrorAction SilentlyContinue)) {
    Add-PSSnapin Microsoft.SharePoint.PowerShell
}
if ($SearchApplication) {
    $ssa = Get-SPEnterpriseSearchServiceApplication -Identity $SearchApplication
} else {
    $ssa = @(Get-SPEnterpriseSearchServiceApplication)
    if ($ssa.Count -ne 1) { throw 'More than one search service application: name one with -SearchApplication.' }
    $ssa = $ssa[0]
}

if ($Remove) {
    Remove-SPEnterpriseSearchFileFormat -SearchApplication $ssa -Identity rar -Confirm:$false
} else {
    if (-not (Get-SPEnterpriseSearchFileFormat -SearchApplication $ssa -Identity rar -ErrorAction SilentlyContinue)) {
        New-SPEnterpriseSearchFileFormat -SearchApplication $ssa -FormatId rar -FormatName 'RAR archive' -MimeType 'application/vnd.rar'
    }
    Set-SPEnterpriseSearchFileFormatState -SearchApplication $ssa -Identity rar -Enable $true -UseIFilter $true
    if (-not (Get-SPEnterpriseSearchCrawlExtension -SearchApplication $ssa -Identity rar -ErrorAction SilentlyContinue)) {
        New-SPEnterpriseSearchCrawlExtension -SearchApplication $ssa -Name rar
    }
}
Write-Host 'Now restart the SharePoint Search Host Controller on every server with a content processing component,'
Write-Host 'in an elevated command prompt, then run a full crawl of every content source that may hold .rar files:'
Write-Host '    net stop spsearchhostcontroller'
Write-Host '    net start spsearchhostcontroller'
